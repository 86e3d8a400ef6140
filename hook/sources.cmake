# The message hook (Qt layer).
target_sources(wirelens_qt PRIVATE
  hook/sub_cls.cpp hook/sub_cls.h)

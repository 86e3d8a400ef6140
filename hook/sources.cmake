# The message hook (Qt layer).
target_sources(wirelens_qt PRIVATE
  hook/sub_cls.cpp hook/sub_cls.h)

# The capture address choice and its dialog live in capture/, but the capture
# subsystem's own lists belong to other files; they are added here.
target_sources(wirelens_core PRIVATE
  capture/choose_local_ip.cpp capture/choose_local_ip.h)
target_sources(wirelens_qt PRIVATE
  capture/form_ip.cpp capture/form_ip.h)

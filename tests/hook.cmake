wirelens_qt_test(sub_cls_test sub_cls_test.cpp)

# Capture address choice (core) and its dialog (Qt).
wirelens_core_test(choose_local_ip_test choose_local_ip_test.cpp capture_filter_history_test.cpp)
wirelens_qt_test(form_ip_test form_ip_test.cpp)

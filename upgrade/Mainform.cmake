# The window's firmware-upgrade methods (TMajorForm is one class; its methods are split by concern).
target_sources(qmr7_app PRIVATE ${CMAKE_CURRENT_LIST_DIR}/MainformFirmware.cpp)

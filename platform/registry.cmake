# The virtual-device registry: no Qt, no udev, so the simulator links it alone.
add_library(qmr7_registry STATIC ${CMAKE_CURRENT_LIST_DIR}/VirtualDeviceRegistry.cpp)
target_include_directories(qmr7_registry PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qmr7_registry PUBLIC qmr7_base)
qmr7_strict(qmr7_registry)

# The transfer layer over the desktop's job-progress service. Its two D-Bus
# contracts are the XML files beside this one; the stand-in server of the
# tests generates its adaptors from the same files. Generated files belong to
# targets of this folder, so the layer is a small library of its own.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewServer.xml PROPERTIES
    CLASSNAME JobViewServerProxy NO_NAMESPACE ON)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewV2.xml PROPERTIES
    CLASSNAME JobViewProxy NO_NAMESPACE ON)
qt5_add_dbus_interface(TRANSFERUI_PROXIES ${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewServer.xml
                       jobviewserverproxy)
qt5_add_dbus_interface(TRANSFERUI_PROXIES ${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewV2.xml
                       jobviewproxy)
add_library(transferui STATIC ${TRANSFERUI_PROXIES} transferui.cpp transferui.h)
target_include_directories(transferui PUBLIC ${PROJECT_SOURCE_DIR}/src
                           PRIVATE ${CMAKE_CURRENT_BINARY_DIR})
target_link_libraries(transferui PUBLIC Qt5::Core Qt5::DBus)
target_link_libraries(postvanecore PUBLIC transferui)

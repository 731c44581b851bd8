# The transfer layer over the desktop's job-progress service. Its two D-Bus
# contracts are the XML files beside this one; the stand-in server of the
# tests generates its adaptors from the same files.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewServer.xml PROPERTIES
    CLASSNAME JobViewServerProxy NO_NAMESPACE ON)
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewV2.xml PROPERTIES
    CLASSNAME JobViewProxy NO_NAMESPACE ON)
qt5_add_dbus_interface(TRANSFERUI_PROXIES ${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewServer.xml
                       jobviewserverproxy)
qt5_add_dbus_interface(TRANSFERUI_PROXIES ${CMAKE_CURRENT_LIST_DIR}/org.kde.JobViewV2.xml
                       jobviewproxy)
target_sources(postvanecore PRIVATE
    ${TRANSFERUI_PROXIES}
    ${CMAKE_CURRENT_LIST_DIR}/transferui.cpp
    ${CMAKE_CURRENT_LIST_DIR}/transferui.h
)
target_include_directories(postvanecore PRIVATE ${CMAKE_CURRENT_BINARY_DIR})

# The notification layer over org.freedesktop.Notifications.
target_sources(postvane_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/mnotification.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mnotification.h
    ${CMAKE_CURRENT_LIST_DIR}/mnotificationdata.h
    ${CMAKE_CURRENT_LIST_DIR}/mnotificationservice.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mnotificationservice.h
    ${CMAKE_CURRENT_LIST_DIR}/mnotificationstatefile.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mnotificationstatefile.h
    ${CMAKE_CURRENT_LIST_DIR}/mremoteaction.cpp
    ${CMAKE_CURRENT_LIST_DIR}/mremoteaction.h
)

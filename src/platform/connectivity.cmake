# Connectivity over NetworkManager on the system bus: the connectivity
# settings ("restricted_mode" follows the metered state) and the online state.
target_sources(postvanecore PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/systembusproperty.cpp
    ${CMAKE_CURRENT_LIST_DIR}/systembusproperty.h
    ${CMAKE_CURRENT_LIST_DIR}/connsettings.cpp
    ${CMAKE_CURRENT_LIST_DIR}/connsettings.h
    ${CMAKE_CURRENT_LIST_DIR}/networkonlinestate.cpp
    ${CMAKE_CURRENT_LIST_DIR}/networkonlinestate.h
)

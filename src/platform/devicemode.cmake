# Device mode: flight mode from rfkill, power save from the power-profiles service.
target_sources(postvanecore PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/systembusproperty.cpp
    ${CMAKE_CURRENT_LIST_DIR}/systembusproperty.h
    ${CMAKE_CURRENT_LIST_DIR}/qmdevicemode.cpp
    ${CMAKE_CURRENT_LIST_DIR}/qmdevicemode.h
)

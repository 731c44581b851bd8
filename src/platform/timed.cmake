# The time daemon's client: clock and time-zone changes.
target_sources(postvanecore PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/timedinterface.cpp
    ${CMAKE_CURRENT_LIST_DIR}/timedinterface.h
)

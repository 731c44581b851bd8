# The e-mail application's service-action layer: requests to the message
# server (interface lib/qmf/com.brenmor.qmf.MessageServer.xml), closures that
# wait for their outcome, and folder utilities over the mail store.
target_sources(postvane_platform PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/tavikserviceactionmanager.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tavikserviceactionmanager.h
    ${CMAKE_CURRENT_LIST_DIR}/closurebase.cpp
    ${CMAKE_CURRENT_LIST_DIR}/closurebase.h
    ${CMAKE_CURRENT_LIST_DIR}/tavikutils.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tavikutils.h
)

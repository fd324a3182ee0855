# libqdo: one set of objects, linked twice.
#   qdo           the shared library (libqdo.so) with hidden visibility: exports the QDO*
#                 functions and the C++ API marked QDO_API, as far as the version script
#                 capi/libqdo.map lets them out
#   qdo_internal  a static library of the same objects, for tests, fuzzers and benchmarks
#                 that reach internals the shared library does not export

set(QDO_SOURCES
    capi/BlobFunctions.cpp
    capi/ConnectFunctions.cpp
    capi/CountedString.cpp
    capi/DataFunctions.cpp
    capi/EventFunctions.cpp
    capi/FailoverFunctions.cpp
    capi/FlatHandle.cpp
    capi/FlatRefs.cpp
    capi/JsonFunctions.cpp
    capi/ListFunctions.cpp
    capi/OperationFunctions.cpp
    capi/ValueFunctions.cpp
    capi/WalkFunctions.cpp
    classes/Application.cpp
    classes/Component.cpp
    classes/Exceptions.cpp
    classes/FloatText.cpp
    classes/IntegerText.cpp
    classes/FormatSettings.cpp
    classes/NotificationLoop.cpp
    classes/Object.cpp
    classes/Persistent.cpp
    classes/Streams.cpp
    classes/StringList.cpp
    classes/Thread.cpp
    classes/VarRec.cpp
    classes/StoredForm.cpp
    connect/BlobTransfer.cpp
    connect/ConnectComponent.cpp
    connect/ConnectErrors.cpp
    connect/Failover.cpp
    connect/Link.cpp
    connect/Wire.cpp
    connect/DataCommands.cpp
    connect/DataLines.cpp
    connect/Transaction.cpp
    connect/OperationBatch.cpp
    connect/BatchLines.cpp
    connect/TransactionLine.cpp
    connect/Database.cpp
    connect/JsonExport.cpp
    connect/JsonImport.cpp
    connect/JsonLines.cpp
    connect/Walk.cpp
    connect/Framing.cpp
    connect/MatchString.cpp
    connect/PushedFrames.cpp
    connect/RequestLoop.cpp
    connect/ServerEvents.cpp
    connect/Session.cpp
    connect/ServerList.cpp
    connect/SessionReplies.cpp
    connect/SocketErrorMessages.cpp
    connect/StrToCharStr.cpp
    connect/TcpTransport.cpp
    connect/TlsChannel.cpp
    connect/TlsContext.cpp
    encodings/JsonText.cpp
    encodings/Mlist.cpp
    encodings/Mpiece.cpp
    encodings/MName.cpp
    encodings/MNumber.cpp
    encodings/MRecords.cpp
    encodings/MRef.cpp
    encodings/Mutils.cpp
    protocol/FrameReader.cpp
    protocol/Replies.cpp
    protocol/Requests.cpp
    sockets/BaseSocket.cpp
    sockets/IpClient.cpp
    sockets/IpSocket.cpp
    sockets/RawUdpSockets.cpp
    sockets/SocketErrors.cpp
    sockets/SocketThreads.cpp
    sockets/SocketUnit.cpp
    sockets/TcpServer.cpp
)

# Headers that form the installed API. Internal ones stay out: capi/qdosc.h, the connection's
# helpers and the wire protocol's units (protocol/, but for the reader's state in WaitState.h).
set(QDO_PUBLIC_HEADERS
    capi/qdo.h
    classes/Application.h
    classes/Component.h
    classes/Exceptions.h
    classes/Export.h
    classes/FloatText.h
    classes/IntegerText.h
    classes/FormatSettings.h
    classes/NotificationLoop.h
    classes/NotifyEvent.h
    classes/Object.h
    classes/Persistent.h
    classes/Streams.h
    classes/StoredForm.h
    classes/StringList.h
    classes/Thread.h
    classes/VarRec.h
    connect/Database.h
    connect/Json.h
    connect/Transaction.h
    connect/OperationBatch.h
    connect/Qdoconnect.h
    connect/Walk.h
    encodings/JsonText.h
    encodings/Mlist.h
    encodings/Mpiece.h
    encodings/MName.h
    encodings/MNumber.h
    encodings/MRecords.h
    encodings/MRef.h
    encodings/Mutils.h
    protocol/WaitState.h
    sockets/Sockets2.h
)

add_library(qdo_objects OBJECT ${QDO_SOURCES})
target_include_directories(qdo_objects PUBLIC ${PROJECT_SOURCE_DIR})
set_target_properties(qdo_objects PROPERTIES
    POSITION_INDEPENDENT_CODE ON
    C_VISIBILITY_PRESET hidden
    CXX_VISIBILITY_PRESET hidden
    VISIBILITY_INLINES_HIDDEN ON)

find_package(Threads REQUIRED)
target_link_libraries(qdo_objects PUBLIC Threads::Threads)
# JSON import's parser: header-only, used inside the library and never in its installed headers.
find_package(nlohmann_json 3.10 REQUIRED)
target_link_libraries(qdo_objects PRIVATE nlohmann_json::nlohmann_json)

# TLS: OpenSSL 3, inside the library only (no OpenSSL type reaches an installed header).
target_link_libraries(qdo_objects PRIVATE OpenSSL::SSL OpenSSL::Crypto)

add_library(qdo SHARED $<TARGET_OBJECTS:qdo_objects>)
target_link_libraries(qdo PRIVATE Threads::Threads OpenSSL::SSL OpenSSL::Crypto)
# The exported names: the flat functions by name and the C++ API's namespace; nothing else.
set(QDO_VERSION_SCRIPT ${PROJECT_SOURCE_DIR}/capi/libqdo.map)
target_link_options(qdo PRIVATE LINKER:--version-script=${QDO_VERSION_SCRIPT})
set_property(TARGET qdo APPEND PROPERTY LINK_DEPENDS ${QDO_VERSION_SCRIPT})
add_library(qdo::qdo ALIAS qdo)
target_include_directories(qdo PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}/qdo>)
target_compile_features(qdo PUBLIC cxx_std_20)
set_target_properties(qdo PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
if(NOT QDO_SANITIZE AND NOT QDO_TSAN AND NOT QDO_FUZZ)
    # Every symbol the library needs must come from a library it names.
    target_link_options(qdo PRIVATE -Wl,--no-undefined)
endif()

add_library(qdo_internal STATIC $<TARGET_OBJECTS:qdo_objects>)
target_include_directories(qdo_internal PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qdo_internal PUBLIC Threads::Threads OpenSSL::SSL OpenSSL::Crypto)

#pragma once
// Non-blocking TCP sockets: listeners on every local address or on named ones, and the
// accepted streams.

#include <cstddef>
#include <cstdint>

#include "platform/EventLoop.h"
#include "platform/SysResult.h"
#include "platform/common/NetAddress.h"

namespace vserver::platform {

struct IoResult {
    enum class Status { Done, WouldBlock, PeerClosed, Failed };
    Status status = Status::Done;
    std::size_t count = 0;   // bytes moved when Done
    int error = 0;           // errno when Failed
};

// The state of the system's socket support for this process.
enum class SocketSupport {
    Ready,
    Unavailable,           // the system cannot start it
    IncompatibleVersion,   // it runs, but does not offer the version this server speaks
};
// Starts the system's socket support; the first call decides, later ones repeat its answer.
// Every other call here needs it Ready.
SocketSupport StartSocketSupport();

// Opens a non-blocking listening socket bound to port on every local address (port 0 lets the
// system choose). Sets handle on success.
SysResult ListenTcp(int port, int backlog, IoHandle& handle);
// The same on one local address only (an IPv6 one takes IPv6 clients only).
SysResult ListenTcpOn(const NetAddress& address, int port, int backlog, IoHandle& handle);
// The longest accept queue the system grants a listener. Clients that start together (a
// school's workstations at the first lesson) must wait in that queue, not be dropped from it.
int MaxListenBacklog();
// The port a bound socket listens on.
int LocalPort(IoHandle handle);
// Accepts one waiting connection as a non-blocking socket, telling its peer's address when
// asked; WouldBlock when none waits.
IoResult AcceptTcp(IoHandle listener, IoHandle& accepted, NetAddress* peer = nullptr);
// True when the call failed because the process or system ran out of descriptors.
bool OutOfDescriptors(const IoResult& result);
// Accepts one waiting connection and closes it at once, using a descriptor kept in reserve for
// this, so a client that cannot be served sees its connection closed instead of hanging in
// the backlog. Runs beforeRefusing while the reserve is free, so the caller can still open a
// file (the service log) when every other descriptor is taken.
void RefuseWaitingConnection(IoHandle listener, void (*beforeRefusing)(void*), void* context);
// PeerClosed means the peer ended the connection in order; a reset is Failed.
IoResult Receive(IoHandle handle, char* buffer, std::size_t capacity);
IoResult Send(IoHandle handle, const char* data, std::size_t length);
void CloseHandle(IoHandle handle);
// True when the peer has acknowledged every byte written to the socket, so a peer that ends
// the connection in order now had them all to read. Where the system keeps no count of
// unacknowledged bytes, every byte it took counts.
bool AllTransmitted(IoHandle handle);

} // namespace vserver::platform

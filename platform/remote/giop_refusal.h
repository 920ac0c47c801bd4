#pragma once
// The answer to a request that the remote service's gate refuses before the
// ORB reads it (see giop_gate.h): a GIOP reply that carries the system
// exception NO_RESOURCES with a minor code of the server's, built from the
// start of the request as far as it has arrived, so that the client's ORB
// raises that exception for its call.

#include <cstddef>
#include <cstdint>
#include <string>

namespace remote {

// The reply to the message whose first size bytes are at message: a GIOP
// 1.0, 1.1 or 1.2 Request, or a GIOP 1.2 LocateRequest, in either byte
// order. The reply (a LocateReply to a LocateRequest) has the status
// SYSTEM_EXCEPTION and carries NO_RESOURCES, the minor code and
// COMPLETED_NO, little-endian. Empty when the bytes hold no such message up
// to its request id and response flag (a GIOP 1.0 or 1.1 LocateReply cannot
// carry an exception).
std::string GiopRefusalReply(const unsigned char* message, std::size_t size, std::uint32_t minor);

// A GIOP 1.0 or 1.1 LocateRequest of a refused client, which cannot be
// answered with the refusal: the client is told that the object is here,
// so that it sends the request that gets the refusal (an ORB turns a
// closed connection into a failure that says nothing of the refusal).
struct GiopLocateHere {
    // The LocateReply of the request's version with its request id and
    // OBJECT_HERE, little-endian; empty while the LocateRequest is not
    // whole (or when it holds no request id).
    std::string reply;
    // Of the LocateRequest, header included; 0 when the bytes start with
    // no GIOP 1.0 or 1.1 LocateRequest (or less than its header).
    std::uint64_t size = 0;
};
GiopLocateHere GiopLocateHereReply(const unsigned char* message, std::size_t size);

} // namespace remote

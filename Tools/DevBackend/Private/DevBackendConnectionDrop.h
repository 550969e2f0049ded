// Closes a served connection without answering it. cpp-httplib gives a handler no
// access to its socket, so the socket is found among the process's descriptors by its
// address pair and shut down; the server's own write of a response then fails and it
// closes the connection, so the client sees the connection end with no response.
#pragma once

#include <string>

// Shuts down (both directions) the connected socket whose local end is LocalAddr:
// LocalPort and whose peer is RemoteAddr:RemotePort. False when none was found.
bool ShutdownDevBackendConnection(const std::string& LocalAddr, int LocalPort,
                                  const std::string& RemoteAddr, int RemotePort);

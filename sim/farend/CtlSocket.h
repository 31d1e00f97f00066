// SPDX-License-Identifier: GPL-2.0-or-later
// The control channel: a Unix stream socket in the state folder. A client
// connects, sends one command line, closes its sending side and reads the
// reply until the far end closes the connection.
#pragma once

#include <string>

namespace tmfarend {

struct FarEnd;

// Binds and listens on path (an old socket there is replaced). The
// descriptor, or -1 with err set.
int CtlListen(const std::string &path, std::string &err);
// Accepts one connection on listenFd and answers its command. Returns 0
// only when accept itself failed.
int CtlServeOne(int listenFd, FarEnd &farEnd);
// Sends text to the far end at path; its reply in reply. 0 with err set
// when the far end cannot be reached.
int CtlRequest(const std::string &path, const std::string &text, std::string &reply,
               std::string &err);

} // namespace tmfarend

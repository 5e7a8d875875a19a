#pragma once

#include <QString>

// A network of the process's own: a new network namespace holding only a loopback interface, up.
// Units in it take their fixed ports and broadcast on loopback without meeting anybody else's,
// and a program it starts sees that network alone. Root makes the namespace directly; anyone else
// through a user namespace of their own, keeping their user and group ids inside it.
namespace OwnNetwork {
// Moves the calling process into a network of its own. It must not have started a thread yet (a
// user namespace is only made for a process of one thread). False, with why, when it cannot.
bool enter(QString* why);
// Whether enter() works here, tried in a short-lived child process: nothing when it does, else
// why not ("cannot make a network namespace: Operation not permitted").
QString problem();
} // namespace OwnNetwork

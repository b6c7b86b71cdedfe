// A systemd container for the tests: a tree in the test's temporary
// directory, booted by systemd-nspawn with its own PID 1, PID namespace and
// network, the machine's /usr read-only under the installed build, and
// commands run inside it through nsenter.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include <sys/types.h>

#include "tests/helpers.h"

struct ContainerSpec {
    std::string root;                                         // an empty directory: the container's tree
    std::string usrLayer;                                     // laid over the machine's /usr (a DESTDIR install's usr)
    std::string log;                                          // systemd-nspawn's output, the container's console
    std::string machine;                                      // the container's name
    std::vector<std::pair<std::string, std::string>> bindsRo; // outside path, inside path
};

struct Container {
    pid_t nspawn = -1; // systemd-nspawn, a child of the test; -1 once reaped
    pid_t leader = -1; // the container's PID 1, as the machine numbers it
    int status = -1;   // systemd-nspawn's exit status once reaped
};

// The tree a container boots from: the directories systemd needs and the
// merged-/usr links; the files in etc are the caller's.
bool containerMakeTree(const std::string& root);

// Boots the container; "" once its systemd has finished starting up,
// else what failed (the container is ended then).
std::string containerBoot(Container* c, const ContainerSpec& box, int timeoutMs);

// "" when the container's leader is systemd as PID 1 of a PID namespace of
// its own, with a network and mount namespace other than the test's.
std::string containerCheckIsolated(const Container& c);

// The machine's number of the container's process inner, or -1.
pid_t containerHostPid(const Container& c, pid_t inner);

// The parent of a process, as the machine numbers them, or -1.
pid_t processParent(pid_t pid);

// Runs argv inside the container (all its namespaces).
RunResult containerRun(const Container& c, const std::vector<std::string>& argv, int timeoutMs = 10000);

// Waits for the container to end by itself; its systemd-nspawn's status,
// or -1 while it still runs after timeoutMs.
int containerWait(Container* c, int timeoutMs);

// Ends the container: its systemd asked to halt, then the container killed
// by its leader's PID and systemd-nspawn killed; always reaped.
void containerEnd(Container* c);

// Ends the container when it goes, also when an assertion ends the test.
struct ContainerGuard {
    Container c;
    ~ContainerGuard() { containerEnd(&c); }
};

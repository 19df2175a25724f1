#pragma once
// Runs a piece of a test in a forked child that can be made weaker than the
// root the tests run as: without root's right to read and write anything
// (as nobody), or with mounts of its own (a read-only bind mount, a tiny
// file system). Root reads mode-000 files, so "unreadable" and "unwritable"
// need one of these to mean anything.

#include <functional>
#include <string>
#include <sys/types.h>

constexpr uid_t NobodyUid = 65534;
constexpr gid_t NogroupGid = 65534;

struct TChildOptions {
    bool AsNobody = false;            // setresgid/setresuid to nobody/nogroup, no extra groups
    bool OwnMountNamespace = false;   // unshare(CLONE_NEWNS), mounts private
};

struct TChildResult {
    int Status = -1;       // exit status, or 128 + the signal that ended it
    long MaxRssKiB = 0;    // the child's peak resident size
};

// Forks, applies Options, runs Body and exits with its result (an exception
// gives 125, a failed set-up 126). The child writes nothing to the parent's
// test state: check the files it left, or its status.
TChildResult RunInChild(const std::function<int()>& Body, TChildOptions Options = {});

// Mounts in the calling process (meant for a child with OwnMountNamespace).
// False when the mount failed.
bool BindReadOnly(const std::string& folder);
bool MountTmpfs(const std::string& folder, const std::string& size);

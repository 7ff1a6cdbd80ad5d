#pragma once

#include <chrono>
#include <functional>
#include <string>

namespace zuno::testing {

// How a child started by RunInChild ended.
struct ChildOutcome {
  bool exited = false;  // ended by itself through exit
  int exit_code = -1;   // its exit status, when it exited
  int signal = 0;       // the signal that ended it, or 0
  bool timed_out = false;
  std::string output;  // what the action returned
};

// Runs the action in a forked copy of the test process and hands back its result.
// Anything that could block, change process-wide state for good or kill the process
// runs there, so the test runner itself is never at risk; a child still running
// after the time-out is killed.
ChildOutcome RunInChild(const std::function<std::string()>& action,
                        std::chrono::milliseconds timeout = std::chrono::seconds(20));

// Inside such a child: gives up root's powers by becoming the "nobody" user, so
// that permission bits are enforced. True when the process runs unprivileged.
bool DropRootPrivileges();

// The "nobody" user, and another user without any files of its own.
inline constexpr unsigned kNobodyUser = 65534;
inline constexpr unsigned kOtherUser = 65533;

// Inside such a child: becomes the user (and the group of the same number). True
// when the process now runs as that user alone.
bool BecomeUser(unsigned uid);

// Makes a symbolic link at `path` holding `text` as the given user would, in a
// child that has become that user: the link then belongs to that user. False
// (with the reason) when it cannot.
bool MakeLinkAs(unsigned uid, const std::string& text, const std::string& path, std::string* error);

}  // namespace zuno::testing

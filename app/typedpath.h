// What a path typed into the window means, and whether it can be parsed. A typed path means what
// a person means: "~" is the home directory and a relative path lies below it, never below the
// program's working directory.
//
// Threads: any (the look-up of another user's home directory is reentrant).
#pragma once

#include <string>

namespace delvepath {

// The directory `text` means: a leading "~" (alone or before "/") is `home`, "~name" is that
// user's home directory ("~name" of no known user is a relative name like any other), and a
// relative path lies below `home`. An empty text stays empty (a parse of nothing).
std::string resolve(const std::string& text, const std::string& home);

// Why the directory `dir` cannot be parsed ("No such folder: ...", "Not a folder: ...",
// "Cannot list ...: reason"), or "" when it can be listed.
std::string whyNotListable(const std::string& dir);

}  // namespace delvepath

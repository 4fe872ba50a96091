// model.h - a directory tree as a crash may leave it: the recorded file
// operations of one call, replayed in part on the tree from before the call.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace crashstates {

using Ino = std::uint64_t;

struct Node {
    enum Kind { File, Dir, Link } kind = File;
    std::string data;                     // a file's bytes, a symlink's target
    std::map<std::string, Ino> entries;   // a directory's names
};

struct Tree {
    Ino root = 0;
    std::map<Ino, Node> nodes;
    // The names of the root, one line each, sorted: "name F <hex>", "name L target",
    // "name D{...}" with the directory's own entries in the braces.
    std::string canonical() const;
};

// The tree under dir, by inode numbers as the recorder logs them.
Tree read_tree(const std::string &dir);
// Makes dir (which must not exist) hold the tree; hard links stay links.
void materialise(const Tree &t, const std::string &dir);

struct Op {
    enum Kind { Creat, Mkdir, Symlink, Link, Rename, Unlink, Rmdir, Write, Trunc, Fsync, Writeback, SyncAll } kind;
    Ino dir = 0, dir2 = 0, ino = 0;
    std::string name, name2, data;  // data: a write's bytes, a symlink's target
    std::uint64_t offset = 0;       // a write's offset, a truncation's length
    bool metadata() const { return kind <= Rmdir; }
};

std::vector<Op> read_log(const std::string &path);

enum class Model {
    Ordered,  // metadata in program order; file data if flushed, or written back before a later name change
    Weak,     // each directory's names in their own order; fsync of a directory persists its earlier names
};

// Every distinct tree a crash at any point of ops may leave, by canonical
// form; returned: only a crash once every operation was made.
std::map<std::string, Tree> crash_states(const Tree &before, const std::vector<Op> &ops, Model model,
                                         bool returned = false);

}  // namespace crashstates

// floor.h - the least work an operation's files demand, done with bare system
// calls: what each benchmark compares the plug-in against.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace tolvbench::floor {

// A writing call's directory, opened once for each measured call as the
// plug-in opens it; while one is alive every function below works relative
// to it. A writing call also holds the write lock and pays the three renames
// of the journal (the least an all-or-nothing writer needs; see floor.cpp).
// A reading call reaches its files by their paths.
class Call {
public:
    // writes: the call changes files (durable mode flushes the directory).
    Call(const std::string &dir, bool writes);
    ~Call();
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    void begin();
    void end();

private:
    std::string dir_;
    bool sync_;
    bool writes_;
};

// Ends the running Call and starts another on the same directory: the
// second operation of a measured pair (create, then delete) is a call of its own.
void next_call();

// open + fstat (a regular file) + one read + close of a record file; returns
// the bytes read.
std::size_t read_record(const std::string &path);
// One lstat: the existence check of another entry's file.
void probe(const std::string &path);
// open (create, truncate) + one write + close.
void write_record(const std::string &path, std::string_view bytes);
void unlink_file(const std::string &path);
void rename_file(const std::string &from, const std::string &to);
// Replaces a file by a new one with these bytes (written beside it and renamed
// over it), as every writer of the registry replaces a list.
void replace_file(const std::string &path, std::string_view bytes);
// One whole read of an index, one whole write of "<index>_T" with the same
// bytes, and the rename of "<index>_T" over the index.
void rewrite_index(const std::string &path);
// One whole read of an index and one allocation (with copy) per line, all
// released again; returns the number of lines.
std::size_t scan_index(const std::string &path);
// What the listing interface itself demands of the heap, with the same bare
// read: per line an item and a copy of its text; per entry of the walk the two
// names released and copied again; then every item and text released. No
// parsing. Returns the number of lines.
std::size_t scan_index_as_listing(const std::string &path);

// New files (name, bytes) put into dir in one all-or-nothing step: each
// created and written in a staging directory beside them (its write-out
// started, or flushed when durable), then renamed into dir. What an import of
// a document into an empty registry must do at the least.
void write_new_files(const std::string &dir, const std::vector<std::pair<std::string, std::string>> &files);

}  // namespace tolvbench::floor

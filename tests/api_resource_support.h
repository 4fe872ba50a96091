// Helpers for the policy, resource and resource-group tests: records released
// through librspiutil, blobs, diagnostics capture and allocation failures.
#pragma once

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "registry.h"
#include "tolvadm_run.h"
#include "rspi.h"
#include "tolv.h"

extern "C" void rspiutil_fail_nth_alloc(long n);
extern "C" long rspiutil_alloc_count(void);

namespace tolvtest {

template <class T, void (*Free)(T *)>
struct Releaser {
    void operator()(T *p) const { Free(p); }
};
template <class T, T *(*Alloc)(), void (*Free)(T *)>
struct Rec : std::unique_ptr<T, Releaser<T, Free>> {
    Rec() : std::unique_ptr<T, Releaser<T, Free>>(Alloc()) {}
};

// Replaces a host string field with a copy of v (null clears it).
inline void set(char *&field, const char *v) {
    rspi_free(field);
    field = v ? rspi_strdup(v) : nullptr;
}

inline rspi_blob *blob(std::string_view bytes) {
    rspi_blob *b = rspi_alloc_blob(static_cast<uint32_t>(bytes.size()));
    if (!bytes.empty()) std::memcpy(b->data, bytes.data(), bytes.size());
    return b;
}

inline std::string bytes(const rspi_blob *b) {
    return b ? std::string(reinterpret_cast<const char *>(b->data), b->length) : std::string("(null)");
}

// Turns the diagnostics on into a temporary file for the life of the object.
class Trace {
public:
    Trace() : file_(std::tmpfile()) {
        saved_verbose_ = verbose;
        saved_output_ = debugOutput;
        verbose = 1;
        debugOutput = file_;
    }
    ~Trace() {
        verbose = saved_verbose_;
        debugOutput = saved_output_;
        if (file_) std::fclose(file_);
    }
    Trace(const Trace &) = delete;
    Trace &operator=(const Trace &) = delete;
    // Everything written so far; the capture starts again empty.
    std::string take() {
        std::string out;
        if (!file_) return out;
        std::fflush(file_);
        std::rewind(file_);
        char buf[512];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
        std::fclose(file_);
        file_ = std::tmpfile();
        debugOutput = file_;
        return out;
    }

private:
    FILE *file_;
    int32_t saved_verbose_;
    FILE *saved_output_;
};

// Runs op with the n-th librspiutil allocation failing, for n = 1, 2, ...
// until op makes fewer allocations than n; check(rc, failed) sees each run.
template <class Op, class Check>
void for_each_failed_alloc(Op op, Check check) {
    for (long n = 1; n < 100; ++n) {
        rspiutil_fail_nth_alloc(n);
        const uint32_t rc = op();
        const bool failed = rspiutil_alloc_count() >= n;
        rspiutil_fail_nth_alloc(0);
        check(rc, failed);
        if (!failed) return;
    }
    ADD_FAILURE() << "the operation never stopped allocating";
}


}  // namespace tolvtest

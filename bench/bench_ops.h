// bench_ops.h - the measured operations: each runs one interface call (or a
// pair that leaves the registry as it was) and, separately, its floor.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "registry_gen.h"

namespace tolvbench {

class Operation {
public:
    virtual ~Operation() = default;
    // The interface functions this operation needs that the plug-in does not
    // export yet ("" when it has them all).
    virtual std::string missing() const { return {}; }
    // Before the k-th run, untimed (a cold lookup's rewrite of its index).
    virtual void prepare(std::size_t) {}
    // The k-th run through the plug-in: "" or what went wrong.
    virtual std::string run(std::size_t k) = 0;
    // The same work with bare system calls.
    virtual void floor(std::size_t k) = 0;
};

struct OpInfo {
    const char *name;
    bool mutating;  // changes files (and undoes the change) on every run
    std::unique_ptr<Operation> (*make)(char **handle, const Registry &reg);
};

const std::vector<OpInfo> &operations();

}  // namespace tolvbench

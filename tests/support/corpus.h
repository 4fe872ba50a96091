// Operation sequences run through the exported interface.
//
// An .ops text holds sequences, each starting at "== NAME" on a fresh
// registry. A line is an operation and its arguments: FIELD=VALUE sets a field
// of the operation's record (u.FIELD=VALUE the user record of a membership or
// credential call), @SLOT keeps the record across lines (u@SLOT for the user
// record), other KEY=VALUE and bare words are the operation's own arguments.
// Values take \s (blank), \n, \r, \t, \\, \xNN and \*N; (repeat the previous
// byte up to N bytes); "(null)" is a null pointer. "adm WORDS..." runs tolvadm
// on the registry, or on the one "--config FILE" names ($DIR/ in a word is the
// registry directory, a word <TEXT is standard input). "pick NAME WORDS..." and
// "tmpl LINE" define a random mix that "mix SEED COUNT" draws from.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace tolvtest {

// Every sequence of an .ops text; the transcript ends each with the registry directory.
std::string run_corpus(const std::string &text);

struct Run;
// One sequence on a fresh registry, given lines at a time.
class Sequence {
public:
    Sequence();
    // On an existing registry (ending in '/'), left in place: another host's view of one.
    explicit Sequence(const std::string &registry);
    ~Sequence();
    std::string operator()(const std::string &lines);  // their transcript
    const std::string &dir() const;                    // the registry, with a trailing '/'

private:
    std::unique_ptr<Run> run_;
};

// The first code in a transcript other than 0 and 5 (no more entries), else 0.
uint32_t failure(const std::string &transcript);

// Called with true just before each call into the plug-in and with false
// just after (the runner's own allocations in between are outside too).
extern std::function<void(bool)> call_hook;

}  // namespace tolvtest

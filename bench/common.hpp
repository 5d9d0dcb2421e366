// What every benchmark file shares: the fixtures folder, and a ruleset handle loaded once per
// process through the exported interface, ending the run with the message when a load fails.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

#include "veskora.h"

namespace veskora::bench {

inline const std::string kFixtures = VESKORA_BENCH_FIXTURES;

// Ends the run: a benchmark of a failing call would only measure the error path.
[[noreturn]] inline void fail(const char* what, char* error) {
    std::fprintf(stderr, "%s: %s\n", what, error != nullptr ? error : "(no message)");
    std::exit(1);
}

// Owns one handle; renders on many threads share it.
class Ruleset {
public:
    static Ruleset from_string(const std::string& text) {
        return loaded("loading a ruleset", [&](veskora_ruleset** handle, char** error) {
            return veskora_ruleset_from_string(text.c_str(), handle, error);
        });
    }
    static Ruleset from_file(const std::string& path) {
        return loaded(path.c_str(), [&](veskora_ruleset** handle, char** error) {
            return veskora_ruleset_from_file(path.c_str(), handle, error);
        });
    }

    Ruleset(Ruleset&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }
    Ruleset& operator=(Ruleset&&) = delete;
    ~Ruleset() { veskora_ruleset_free(handle_); }

    const veskora_ruleset* get() const { return handle_; }

private:
    Ruleset() = default;

    template <class Load>
    static Ruleset loaded(const char* what, Load load) {
        Ruleset r;
        char* error = nullptr;
        if (load(&r.handle_, &error) != VESKORA_OK) fail(what, error);
        return r;
    }

    veskora_ruleset* handle_ = nullptr;
};

}  // namespace veskora::bench

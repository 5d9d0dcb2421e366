// The text processor interface and the map of processors a ruleset knows by name. Any plain
// function from text to output-text-or-message becomes a processor through make_processor.
#pragma once

#include <expected>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "support/hash.hpp"

namespace veskora::render {

// Output text, or the processor's own error message.
using ProcessResult = std::expected<std::string, std::string>;

class Processor {
public:
    virtual ~Processor() = default;
    // May be called by several threads at once.
    virtual ProcessResult process(std::string_view input) const = 0;
};

// Names compare byte for byte; insert_or_assign replaces an entry and releases the old processor.
using ProcessorMap = support::StringMap<std::shared_ptr<const Processor>>;

template <class F>
class FunctionProcessor final : public Processor {
public:
    explicit FunctionProcessor(F function) : function_(std::move(function)) {}
    ProcessResult process(std::string_view input) const override { return function_(input); }

private:
    F function_;
};

template <class F>
    requires std::is_invocable_r_v<ProcessResult, const F&, std::string_view>
std::shared_ptr<const Processor> make_processor(F function) {
    return std::make_shared<const FunctionProcessor<F>>(std::move(function));
}

}  // namespace veskora::render

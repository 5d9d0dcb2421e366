// The exported C interface. Every function checks its arguments, copies what it is handed and
// turns engine errors into status codes and message strings; nothing thrown crosses it.
#include "veskora.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <expected>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "config.hpp"
#include "render/processor.hpp"
#include "render/ruleset.hpp"
#include "render/state.hpp"
#include "render/value.hpp"
#include "support/utf8.hpp"

// The handle: a RuleSet in memory of the library's own, owned by the host until
// veskora_ruleset_free.
struct veskora_ruleset {
    veskora::render::RuleSet ruleset;
};

// One host callback call's result record; empty slots until the callback fills them.
struct veskora_processor_result {
    std::optional<std::string> output;
    std::optional<std::string> error;
};

namespace veskora::ffi {

using Status = std::int32_t;

// The outcome of reading host input: the value, or the status of the failure (its message, if
// any, is already delivered).
template <class T>
using Read = std::expected<T, Status>;

// Ends the process when something no argument can cause escapes the engine (memory exhausted,
// no entropy): the host's stack must never be unwound by this library.
[[noreturn]] void internal_fault(const char* function, const char* what) noexcept {
    std::fprintf(stderr, "veskora: internal fault in %s: %s\n", function, what);
    std::fflush(stderr);
    std::abort();
}

template <class F>
auto guarded(const char* function, F&& body) noexcept -> decltype(body()) {
    try {
        return body();
    } catch (const std::exception& error) {
        internal_fault(function, error.what());
    } catch (...) {
        internal_fault(function, "unknown exception");
    }
}

// Whether the host could not tell where the text ends.
bool holds_nul(std::string_view text) { return text.find('\0') != std::string_view::npos; }

// A new NUL-terminated copy for the host, or null when the text holds a NUL byte. Every string
// handed out comes from ::operator new, which veskora_string_free answers.
char* new_c_string(std::string_view text) {
    if (holds_nul(text)) {
        return nullptr;
    }
    char* copy = static_cast<char*>(::operator new(text.size() + 1));
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

// The text of one render, written into the buffer that the host is then handed, with no copy. A
// string's buffer comes from std::allocator, which takes it from ::operator new, and the
// standard libraries known here keep the text at the start of that block with a NUL after it:
// so the string is left undestroyed (which ends its life without touching the buffer) and
// veskora_string_free gives the buffer back with ::operator delete. The sanitizer build checks
// that pairing on every text a test renders. Other standard libraries (and the old
// copy-on-write strings, whose text follows a header) get a copy.
#if (defined(__GLIBCXX__) && _GLIBCXX_USE_CXX11_ABI) || defined(_LIBCPP_VERSION)
constexpr bool kHandOverStringBuffer = true;
#else
constexpr bool kHandOverStringBuffer = false;
#endif

class HostText {
public:
    HostText() {
        std::construct_at(&text_);
        // Most texts are a sentence or longer: one allocation for them instead of two or three
        // as the text outgrows the string's inline room.
        text_.reserve(kUsualSize);
    }
    HostText(const HostText&) = delete;
    HostText& operator=(const HostText&) = delete;
    ~HostText() {
        if (!released_) std::destroy_at(&text_);
    }

    std::string& text() { return text_; }

    // The text for the host, or null when it holds a NUL byte. A text kept in the string's
    // inline room (only if something replaced the buffer reserved above) is copied out.
    char* release() {
        if (holds_nul(text_)) return nullptr;
        const auto* object = reinterpret_cast<const char*>(&text_);
        const std::less<const char*> before;
        if (!kHandOverStringBuffer ||
            (!before(text_.data(), object) && before(text_.data(), object + sizeof text_))) {
            return new_c_string(text_);
        }
        released_ = true;
        return text_.data();
    }

private:
    static constexpr std::size_t kUsualSize = 64;

    union {
        std::string text_;
    };
    bool released_ = false;
};

// Delivers a message through an optional out-parameter; a text holding a NUL byte is dropped.
void write_out_string(std::string_view text, char** out) {
    if (out != nullptr) {
        *out = new_c_string(text);
    }
}

// Delivers the message that `make_message` builds, only when the host asked for messages, and
// returns `status`.
template <class F>
Status fail_with(Status status, char** out_error, F&& make_message) {
    if (out_error != nullptr) {
        write_out_string(make_message(), out_error);
    }
    return status;
}

Status fail(Status status, char** out_error, const char* message) {
    write_out_string(message, out_error);
    return status;
}

// The host's text, checked, without a copy: for use only while nothing the host controls can
// run (no processor callback), since the host may change its strings once they are copied.
Read<std::string_view> read_c_view(const char* pointer, char** out_error) {
    if (pointer == nullptr) {
        return std::unexpected(fail(VESKORA_ERR_ARGUMENT, out_error, "input string is null"));
    }
    // Host strings are mostly short and ASCII: measured and checked in one pass. A longer one (a
    // document) is measured by the C library and checked eight bytes at a time, several times
    // faster than byte by byte.
    constexpr std::size_t kShort = 64;
    std::size_t ascii = 0;
    while (ascii < kShort && static_cast<unsigned char>(pointer[ascii] - 1) < 0x7F) ++ascii;
    if (pointer[ascii] == '\0') {
        return std::string_view(pointer, ascii);
    }
    std::string_view bytes(pointer);
    if (auto error = support::validate_utf8(bytes)) {
        return std::unexpected(fail_with(VESKORA_ERR_ARGUMENT, out_error, [&] {
            return "input string is not valid UTF-8: " + error->message();
        }));
    }
    return bytes;
}

Read<std::string> read_c_string(const char* pointer, char** out_error) {
    auto bytes = read_c_view(pointer, out_error);
    if (!bytes) {
        return std::unexpected(bytes.error());
    }
    return std::string(*bytes);
}

Status write_handle(render::RuleSet ruleset, veskora_ruleset** out_handle, char** out_error) {
    if (out_handle == nullptr) {
        // `ruleset` is released when this returns.
        return fail(VESKORA_ERR_ARGUMENT, out_error, "out_handle is null");
    }
    *out_handle = new veskora_ruleset{std::move(ruleset)};
    return VESKORA_OK;
}

// The entries are views of the host's strings; the state copies their text.
Read<std::vector<render::ContextEntry>> read_context(const char* const* context_keys,
                                                     const char* const* context_values,
                                                     std::size_t context_count, char** out_error) {
    std::vector<render::ContextEntry> entries;
    if (context_count == 0) {
        return entries;
    }
    if (context_keys == nullptr) {
        return std::unexpected(fail(VESKORA_ERR_ARGUMENT, out_error, "context keys array is null"));
    }
    if (context_values == nullptr) {
        return std::unexpected(
            fail(VESKORA_ERR_ARGUMENT, out_error, "context values array is null"));
    }
    entries.reserve(context_count);
    for (std::size_t i = 0; i < context_count; ++i) {
        auto key = read_c_view(context_keys[i], out_error);
        if (!key) {
            return std::unexpected(key.error());
        }
        auto value = read_c_view(context_values[i], out_error);
        if (!value) {
            return std::unexpected(value.error());
        }
        entries.push_back({*key, *value});
    }
    return entries;
}

// A processor that forwards to a host callback. It holds the callback and the host's opaque
// pointer and nothing else; the pointer is never read, written or freed here.
class CallbackProcessor final : public render::Processor {
public:
    CallbackProcessor(veskora_processor_callback callback, void* user_data)
        : callback_(callback), user_data_(user_data) {}

    render::ProcessResult process(std::string_view input) const override {
        if (input.find('\0') != std::string_view::npos) {
            return std::unexpected(std::string("processor input contains an interior NUL byte"));
        }
        // std::string keeps a terminating NUL, so c_str() is the host's NUL-terminated copy.
        const std::string copy(input);
        veskora_processor_result result;
        const std::int32_t status = callback_(copy.c_str(), &result, user_data_);
        if (result.error) {
            return std::unexpected(std::move(*result.error));
        }
        if (status != 0) {
            return std::unexpected("processor callback failed with status " +
                                   std::to_string(status));
        }
        if (!result.output) {
            return std::unexpected(std::string("processor callback did not set output"));
        }
        return std::move(*result.output);
    }

private:
    veskora_processor_callback callback_;
    void* user_data_;
};

Read<render::ProcessorMap> read_processors(const char* const* processor_names,
                                           const veskora_processor_callback* processor_callbacks,
                                           void* const* processor_user_data,
                                           std::size_t processor_count, char** out_error) {
    render::ProcessorMap processors;
    if (processor_count == 0) {
        return processors;
    }
    if (processor_names == nullptr) {
        return std::unexpected(
            fail(VESKORA_ERR_ARGUMENT, out_error, "processor names array is null"));
    }
    if (processor_callbacks == nullptr) {
        return std::unexpected(
            fail(VESKORA_ERR_ARGUMENT, out_error, "processor callbacks array is null"));
    }
    if (processor_user_data == nullptr) {
        return std::unexpected(
            fail(VESKORA_ERR_ARGUMENT, out_error, "processor user data array is null"));
    }
    for (std::size_t i = 0; i < processor_count; ++i) {
        if (processor_callbacks[i] == nullptr) {
            return std::unexpected(
                fail(VESKORA_ERR_ARGUMENT, out_error, "processor callback is null"));
        }
        auto name = read_c_string(processor_names[i], out_error);
        if (!name) {
            return std::unexpected(name.error());
        }
        processors.insert_or_assign(
            std::move(*name),
            std::make_shared<const CallbackProcessor>(processor_callbacks[i],
                                                      processor_user_data[i]));
    }
    return processors;
}

namespace {

enum class Source { File, Text };

// Steps shared by the four load functions, after `out_error` was cleared and the processors
// were read. A document text is loaded where the host holds it: a load runs no host code, and
// a megabyte of text is not worth copying only to be parsed once.
Status finish_load(Source source, std::string_view document, render::ProcessorMap processors,
                   veskora_ruleset** out_handle, char** out_error) {
    auto loaded = source == Source::File
                      ? config::ruleset_from_file_with_processors(std::string(document),
                                                                  std::move(processors))
                      : config::ruleset_from_str_with_processors(document, std::move(processors));
    if (!loaded) {
        if (out_handle != nullptr) {
            *out_handle = nullptr;
        }
        return fail_with(VESKORA_ERR_LOAD, out_error, [&] { return loaded.error().fmt(); });
    }
    return write_handle(std::move(*loaded), out_handle, out_error);
}

Status load(Source source, const char* document, const char* const* processor_names,
            const veskora_processor_callback* processor_callbacks,
            void* const* processor_user_data, std::size_t processor_count,
            veskora_ruleset** out_handle, char** out_error) {
    if (out_error != nullptr) {
        *out_error = nullptr;
    }
    auto text = read_c_view(document, out_error);
    if (!text) {
        if (out_handle != nullptr) {
            *out_handle = nullptr;
        }
        return text.error();
    }
    auto processors = read_processors(processor_names, processor_callbacks, processor_user_data,
                                      processor_count, out_error);
    if (!processors) {
        if (out_handle != nullptr) {
            *out_handle = nullptr;
        }
        return processors.error();
    }
    return finish_load(source, *text, std::move(*processors), out_handle, out_error);
}

enum class TextMode { Text, Inferred };

Status render_text(TextMode mode, const veskora_ruleset* handle, const char* rule_name,
                   const char* const* context_keys, const char* const* context_values,
                   std::size_t context_count, std::uint64_t options, char** out_text,
                   char** out_error) {
    if (out_error != nullptr) {
        *out_error = nullptr;
    }
    if (out_text != nullptr) {
        *out_text = nullptr;
    }
    if (handle == nullptr) {
        return fail(VESKORA_ERR_ARGUMENT, out_error, "ruleset handle is null");
    }
    // The name is used only to find the rule, before any callback runs.
    auto name = read_c_view(rule_name, out_error);
    if (!name) {
        return name.error();
    }
    auto context = read_context(context_keys, context_values, context_count, out_error);
    if (!context) {
        return context.error();
    }
    const render::RuleSet& ruleset = handle->ruleset;
    // The state copies the context's text before any callback can run.
    auto state = render::RenderState::with_host_context_and_options(ruleset, std::move(*context),
                                                                    options);
    HostText host_text;
    std::string& text = host_text.text();
    const render::Result<void> done = mode == TextMode::Inferred
                                          ? ruleset.render_rule_inferred_with_state(*name, state, text)
                                          : ruleset.render_rule_with_state(*name, state, text);
    if (!done) {
        return fail_with(VESKORA_ERR_RENDER, out_error, [&] { return done.error().fmt(); });
    }
    if (out_text == nullptr) {
        return VESKORA_OK;
    }
    char* released = host_text.release();
    if (released == nullptr) {
        return fail(VESKORA_ERR_RENDER, out_error, "output string contains an interior NUL byte");
    }
    *out_text = released;
    return VESKORA_OK;
}

Status render_json(const veskora_ruleset* handle, const char* rule_name,
                   const char* const* context_keys, const char* const* context_values,
                   std::size_t context_count, bool pretty, std::uint64_t options, char** out_json,
                   char** out_error) {
    if (out_error != nullptr) {
        *out_error = nullptr;
    }
    if (out_json == nullptr) {
        return fail(VESKORA_ERR_ARGUMENT, out_error, "out_json is null");
    }
    *out_json = nullptr;
    if (handle == nullptr) {
        return fail(VESKORA_ERR_ARGUMENT, out_error, "ruleset handle is null");
    }
    // The name is used only to find the rule, before any callback runs.
    auto name = read_c_view(rule_name, out_error);
    if (!name) {
        return name.error();
    }
    auto context = read_context(context_keys, context_values, context_count, out_error);
    if (!context) {
        return context.error();
    }
    // The state copies the context's text before any callback can run.
    auto state = render::RenderState::with_host_context_and_options(handle->ruleset,
                                                                    std::move(*context), options);
    HostText json;
    const render::Result<void> done =
        handle->ruleset.render_rule_json_with_state(*name, state, pretty, json.text());
    if (!done) {
        return fail_with(VESKORA_ERR_RENDER, out_error, [&] { return done.error().fmt(); });
    }
    char* released = json.release();
    if (released == nullptr) {
        return fail(VESKORA_ERR_RENDER, out_error,
                    "structured JSON contains an interior NUL byte");
    }
    *out_json = released;
    return VESKORA_OK;
}

enum class Slot { Output, Error };

Status set_result_slot(veskora_processor_result* result, Slot slot, const char* text) {
    if (result == nullptr) {
        return VESKORA_ERR_ARGUMENT;
    }
    auto copy = read_c_string(text, nullptr);
    if (!copy) {
        return copy.error();
    }
    (slot == Slot::Output ? result->output : result->error) = std::move(*copy);
    return VESKORA_OK;
}

}  // namespace
}  // namespace veskora::ffi

using veskora::ffi::guarded;
using veskora::ffi::Source;
using veskora::ffi::TextMode;

extern "C" {

int32_t veskora_ruleset_from_file(const char* path, veskora_ruleset** out_handle,
                                  char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::load(Source::File, path, nullptr, nullptr, nullptr, 0, out_handle,
                                  out_error);
    });
}

int32_t veskora_ruleset_from_file_with_processors(
    const char* path, const char* const* processor_names,
    const veskora_processor_callback* processor_callbacks, void* const* processor_user_data,
    size_t processor_count, veskora_ruleset** out_handle, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::load(Source::File, path, processor_names, processor_callbacks,
                                  processor_user_data, processor_count, out_handle, out_error);
    });
}

int32_t veskora_ruleset_from_string(const char* config_text, veskora_ruleset** out_handle,
                                    char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::load(Source::Text, config_text, nullptr, nullptr, nullptr, 0,
                                  out_handle, out_error);
    });
}

int32_t veskora_ruleset_from_string_with_processors(
    const char* config_text, const char* const* processor_names,
    const veskora_processor_callback* processor_callbacks, void* const* processor_user_data,
    size_t processor_count, veskora_ruleset** out_handle, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::load(Source::Text, config_text, processor_names,
                                  processor_callbacks, processor_user_data, processor_count,
                                  out_handle, out_error);
    });
}

void veskora_ruleset_free(veskora_ruleset* ruleset) {
    guarded(__func__, [&] { delete ruleset; });
}

void veskora_string_free(char* string) {
    guarded(__func__, [&] { ::operator delete(string); });
}

int32_t veskora_ruleset_render(const veskora_ruleset* ruleset, const char* rule_name,
                               char** out_text, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Text, ruleset, rule_name, nullptr, nullptr, 0,
                                         0, out_text, out_error);
    });
}

int32_t veskora_ruleset_render_with_context(const veskora_ruleset* ruleset,
                                            const char* rule_name,
                                            const char* const* context_keys,
                                            const char* const* context_values,
                                            size_t context_count, char** out_text,
                                            char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Text, ruleset, rule_name, context_keys,
                                         context_values, context_count, 0, out_text, out_error);
    });
}

int32_t veskora_ruleset_render_with_context_and_options(
    const veskora_ruleset* ruleset, const char* rule_name, const char* const* context_keys,
    const char* const* context_values, size_t context_count, uint64_t options, char** out_text,
    char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Text, ruleset, rule_name, context_keys,
                                         context_values, context_count, options, out_text,
                                         out_error);
    });
}

int32_t veskora_ruleset_render_inferred(const veskora_ruleset* ruleset, const char* rule_name,
                                        char** out_text, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Inferred, ruleset, rule_name, nullptr,
                                         nullptr, 0, 0, out_text, out_error);
    });
}

int32_t veskora_ruleset_render_inferred_with_context(const veskora_ruleset* ruleset,
                                                     const char* rule_name,
                                                     const char* const* context_keys,
                                                     const char* const* context_values,
                                                     size_t context_count, char** out_text,
                                                     char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Inferred, ruleset, rule_name, context_keys,
                                         context_values, context_count, 0, out_text, out_error);
    });
}

int32_t veskora_ruleset_render_inferred_with_context_and_options(
    const veskora_ruleset* ruleset, const char* rule_name, const char* const* context_keys,
    const char* const* context_values, size_t context_count, uint64_t options, char** out_text,
    char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_text(TextMode::Inferred, ruleset, rule_name, context_keys,
                                         context_values, context_count, options, out_text,
                                         out_error);
    });
}

int32_t veskora_ruleset_render_structured_json(const veskora_ruleset* ruleset,
                                               const char* rule_name, bool pretty,
                                               char** out_json, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_json(ruleset, rule_name, nullptr, nullptr, 0, pretty, 0,
                                         out_json, out_error);
    });
}

int32_t veskora_ruleset_render_structured_json_with_context(
    const veskora_ruleset* ruleset, const char* rule_name, const char* const* context_keys,
    const char* const* context_values, size_t context_count, bool pretty, char** out_json,
    char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_json(ruleset, rule_name, context_keys, context_values,
                                         context_count, pretty, 0, out_json, out_error);
    });
}

int32_t veskora_ruleset_render_structured_json_with_context_and_options(
    const veskora_ruleset* ruleset, const char* rule_name, const char* const* context_keys,
    const char* const* context_values, size_t context_count, bool pretty, uint64_t options,
    char** out_json, char** out_error) {
    return guarded(__func__, [&] {
        return veskora::ffi::render_json(ruleset, rule_name, context_keys, context_values,
                                         context_count, pretty, options, out_json, out_error);
    });
}

int32_t veskora_processor_result_set_output(veskora_processor_result* result, const char* text) {
    return guarded(__func__, [&] {
        return veskora::ffi::set_result_slot(result, veskora::ffi::Slot::Output, text);
    });
}

int32_t veskora_processor_result_set_error(veskora_processor_result* result,
                                           const char* message) {
    return guarded(__func__, [&] {
        return veskora::ffi::set_result_slot(result, veskora::ffi::Slot::Error, message);
    });
}

}  // extern "C"

/*
 * veskora: a rule-driven text generator. A host loads a ruleset document (HOCON text, or a
 * .conf, .json or .properties file) into an immutable handle, renders named rules to text or
 * JSON, and frees what the library hands back. Usable from C99 and C++.
 *
 * Conventions shared by every function:
 * - Strings crossing the interface are NUL-terminated UTF-8. Strings passed in are copied and
 *   never kept after the call returns. Every string handed out (rendered text, JSON, error
 *   message) is a new allocation owned by the caller until it passes it to veskora_string_free.
 * - `out_error` (always the last parameter) may be null. When it is not, the function stores
 *   null through it first and, on failure, a new string with the failure's message. When it is
 *   null no message is made at all; only the status reports the failure. A message that would
 *   contain a NUL byte is not delivered: `*out_error` stays null, the status is unchanged.
 * - Result out-parameters (`out_handle`, `out_text`, `out_json`) hold null after every failure.
 * - Nothing is ever thrown or unwound into the host. An internal fault that no argument can
 *   cause (memory exhausted, no entropy from the operating system) ends the process with a
 *   message on standard error.
 * - A handle may be rendered from several threads at once; host processor callbacks then run
 *   concurrently on the rendering threads. Freeing a handle must not overlap any use of it.
 */
#ifndef VESKORA_H
#define VESKORA_H

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#endif

#if defined(__GNUC__)
#define VESKORA_API __attribute__((visibility("default")))
#else
#define VESKORA_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Status codes returned by every function except the two free functions. */
#define VESKORA_OK 0           /* success */
#define VESKORA_ERR_ARGUMENT 1 /* null pointer, text not UTF-8, null result out-parameter,
                                  malformed host array */
#define VESKORA_ERR_LOAD 2     /* the ruleset could not be loaded or built */
#define VESKORA_ERR_RENDER 3   /* rendering failed, or the result holds a NUL byte */

/* A loaded, immutable ruleset. Owned by the host from a successful load until
   veskora_ruleset_free. */
typedef struct veskora_ruleset veskora_ruleset;

/* The result record of one host processor call, filled by the callback through
   veskora_processor_result_set_output / veskora_processor_result_set_error. Valid only during
   the callback call that received it. */
typedef struct veskora_processor_result veskora_processor_result;

/* A host text processor. `input` is the NUL-terminated UTF-8 text to process and `result` the
   record to fill; both are valid only until the function returns. `user_data` is the pointer
   registered with the callback, passed unchanged (may be null; the library never reads, writes
   or frees it). Return 0 on success, anything else on failure. The outcome is decided in this
   order: an error set on `result` is the processor's message (status and output ignored); a
   status other than 0 gives "processor callback failed with status {}"; 0 without an output
   gives "processor callback did not set output"; otherwise the output is the processed text.
   May be called from several rendering threads at once. */
typedef int32_t (*veskora_processor_callback)(const char *input,
                                              veskora_processor_result *result,
                                              void *user_data);

/* ---- Loading and freeing ---- */

/* Loads a ruleset file. The extension picks the format: "conf" (HOCON), "json", "properties";
   a path without an extension joins every existing candidate of the three. Includes in HOCON
   files are resolved. On success stores a new handle through `out_handle`.
   Returns VESKORA_OK; VESKORA_ERR_ARGUMENT when `path` is null or not UTF-8, or when the load
   succeeded but `out_handle` is null (the ruleset is released, message "out_handle is null");
   VESKORA_ERR_LOAD when the document cannot be loaded or built. */
VESKORA_API int32_t veskora_ruleset_from_file(const char *path, veskora_ruleset **out_handle,
                                              char **out_error);

/* As veskora_ruleset_from_file, with host processors: three parallel arrays of
   `processor_count` entries (names, callbacks, user data). With a count of 0 the arrays are not
   looked at and may be null. A later entry replaces an earlier one of the same name, and a host
   processor replaces a built-in of the same name. The library keeps the callbacks and user data
   until the ruleset is freed; the names are copied. Callbacks are called only while rendering.
   Additional VESKORA_ERR_ARGUMENT cases: an array is null with a count above 0, a callback is
   null, a name is null or not UTF-8 (no ruleset is made, no processor kept). */
VESKORA_API int32_t veskora_ruleset_from_file_with_processors(
    const char *path, const char *const *processor_names,
    const veskora_processor_callback *processor_callbacks, void *const *processor_user_data,
    size_t processor_count, veskora_ruleset **out_handle, char **out_error);

/* Loads a ruleset from HOCON text. Statuses as veskora_ruleset_from_file. */
VESKORA_API int32_t veskora_ruleset_from_string(const char *config_text,
                                                veskora_ruleset **out_handle, char **out_error);

/* Loads a ruleset from HOCON text with host processors, read as in
   veskora_ruleset_from_file_with_processors. */
VESKORA_API int32_t veskora_ruleset_from_string_with_processors(
    const char *config_text, const char *const *processor_names,
    const veskora_processor_callback *processor_callbacks, void *const *processor_user_data,
    size_t processor_count, veskora_ruleset **out_handle, char **out_error);

/* Releases a handle and everything the ruleset owns (never the host's user data). Null does
   nothing. The handle must not be in use on any other thread. */
VESKORA_API void veskora_ruleset_free(veskora_ruleset *ruleset);

/* Releases a string handed out by this library. Null does nothing. Passing any other pointer,
   or the same string twice, is undefined. */
VESKORA_API void veskora_string_free(char *string);

/* ---- Rendering ----
   The context is two parallel arrays of `context_count` NUL-terminated UTF-8 strings; with a
   count of 0 they are not looked at and may be null; a later pair wins over an earlier pair with
   the same key. `options` is the recursion allowance: 0 makes re-entering a rule that is being
   rendered an error; k > 0 lets a rule be re-entered k times and renders deeper references as
   empty text. The forms without context or options pass an empty context and 0.
   The handle is only read. The text and inferred forms accept a null `out_text`: the render
   still runs (processors and random choices included) and nothing is handed out. */

/* Renders a rule (or context default) by name as text into a new string through `out_text`.
   Returns VESKORA_OK; VESKORA_ERR_ARGUMENT for a null handle ("ruleset handle is null"), a
   rule name or context string that is null or not UTF-8, or a null context array with a count
   above 0; VESKORA_ERR_RENDER when the render fails or the text holds a NUL byte. */
VESKORA_API int32_t veskora_ruleset_render(const veskora_ruleset *ruleset, const char *rule_name,
                                           char **out_text, char **out_error);
VESKORA_API int32_t veskora_ruleset_render_with_context(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, char **out_text, char **out_error);
VESKORA_API int32_t veskora_ruleset_render_with_context_and_options(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, uint64_t options, char **out_text,
    char **out_error);

/* Like veskora_ruleset_render, but a name (or dotted path) that reaches an object of the
   document comes back as JSON indented with one tab per level; anything else renders as text.
   Statuses as veskora_ruleset_render. */
VESKORA_API int32_t veskora_ruleset_render_inferred(const veskora_ruleset *ruleset,
                                                    const char *rule_name, char **out_text,
                                                    char **out_error);
VESKORA_API int32_t veskora_ruleset_render_inferred_with_context(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, char **out_text, char **out_error);
VESKORA_API int32_t veskora_ruleset_render_inferred_with_context_and_options(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, uint64_t options, char **out_text,
    char **out_error);

/* Renders an object-valued rule (or a dotted path to an object) as JSON into a new string
   through `out_json`: indented with one tab per level when `pretty` is true, compact
   otherwise; neither ends with a line feed. Returns VESKORA_OK; VESKORA_ERR_ARGUMENT when
   `out_json` is null ("out_json is null", checked first) and in the cases of
   veskora_ruleset_render; VESKORA_ERR_RENDER when the name reaches no object or the render
   fails. */
VESKORA_API int32_t veskora_ruleset_render_structured_json(const veskora_ruleset *ruleset,
                                                           const char *rule_name, bool pretty,
                                                           char **out_json, char **out_error);
VESKORA_API int32_t veskora_ruleset_render_structured_json_with_context(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, bool pretty, char **out_json,
    char **out_error);
VESKORA_API int32_t veskora_ruleset_render_structured_json_with_context_and_options(
    const veskora_ruleset *ruleset, const char *rule_name, const char *const *context_keys,
    const char *const *context_values, size_t context_count, bool pretty, uint64_t options,
    char **out_json, char **out_error);

/* ---- Filling a host processor's result (only from inside the callback) ---- */

/* Sets the processor's output to a copy of `text`, replacing an earlier output. The host keeps
   ownership of `text`. Returns VESKORA_OK; VESKORA_ERR_ARGUMENT (and leaves the record as it
   was) when `result` or `text` is null or `text` is not UTF-8. Writes no message. */
VESKORA_API int32_t veskora_processor_result_set_output(veskora_processor_result *result,
                                                        const char *text);

/* Sets the processor's error message to a copy of `message`, replacing an earlier one; a set
   error makes the call fail whatever the callback returns. Statuses as
   veskora_processor_result_set_output. */
VESKORA_API int32_t veskora_processor_result_set_error(veskora_processor_result *result,
                                                       const char *message);

#ifdef __cplusplus
}
#endif

#endif /* VESKORA_H */

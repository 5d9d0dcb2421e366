/* The public header exercised from C99: statuses, messages and out-parameters of every failure,
   context arrays, options, the three render modes, and host processors. Every string handed out
   is freed, so a leak-checking build reports anything the library forgets. */
#include "veskora.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static int passed;
static int failed;

static void check(int ok, const char *label, const char *what, const char *file, int line) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        fprintf(stderr, "%s:%d: %s: check failed: %s\n", file, line, label, what);
    }
}
#define CHECK(label, cond) check((cond) != 0, (label), #cond, __FILE__, __LINE__)

static int same_text(const char *actual, const char *expected) {
    if (actual == NULL || expected == NULL) {
        return actual == expected;
    }
    return strcmp(actual, expected) == 0;
}

static int has_prefix(const char *actual, const char *prefix) {
    return actual != NULL && strncmp(actual, prefix, strlen(prefix)) == 0;
}

/* A pointer that no function of the library returns: preset into out-parameters so that the
   test sees whether the library cleared them. */
static char sentinel_byte;
#define SENTINEL ((char *)&sentinel_byte)

/* Compares a message with an expectation; an expectation ending in "..." matches a prefix. */
static int message_matches(const char *actual, const char *expected) {
    size_t n;
    if (expected == NULL) {
        return actual == NULL;
    }
    n = strlen(expected);
    if (n >= 3 && strcmp(expected + n - 3, "...") == 0) {
        char prefix[512];
        memcpy(prefix, expected, n - 3);
        prefix[n - 3] = '\0';
        return has_prefix(actual, prefix);
    }
    return same_text(actual, expected);
}

static void report_mismatch(const char *label, const char *actual, const char *expected) {
    if (!message_matches(actual, expected)) {
        fprintf(stderr, "  %s: got \"%s\", want \"%s\"\n", label, actual ? actual : "(null)",
                expected ? expected : "(null)");
    }
}

/* ---------------------------------------------------------------- loading */

static const char *const some_names[] = {"p"};
static int32_t cb_wrap(const char *input, veskora_processor_result *result, void *user_data);
static const veskora_processor_callback some_callbacks[] = {cb_wrap};
static void *const some_user_data[] = {NULL};
static const veskora_processor_callback null_second_callbacks[] = {cb_wrap, NULL};
static const char *const two_names[] = {"a", "b"};
static void *const two_user_data[] = {NULL, NULL};
static const char *const null_name[] = {NULL};
static const char *const bad_name[] = {"ab\xC3"};

enum load_kind { FROM_FILE, FROM_STRING, FROM_FILE_WITH, FROM_STRING_WITH };

struct load_case {
    const char *label;
    enum load_kind kind;
    const char *document;
    const char *const *names;
    const veskora_processor_callback *callbacks;
    void *const *user_data;
    size_t count;
    int null_out_handle;
    int32_t status;
    const char *message; /* NULL: no message delivered */
};

static const struct load_case load_cases[] = {
    {"file: null path", FROM_FILE, NULL, NULL, NULL, NULL, 0, 0, 1, "input string is null"},
    {"string: null text", FROM_STRING, NULL, NULL, NULL, NULL, 0, 0, 1, "input string is null"},
    {"string: fourth byte FF", FROM_STRING, "a=b\xFF", NULL, NULL, NULL, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 3"},
    {"string: truncated sequence", FROM_STRING, "a=\xE2\x82", NULL, NULL, NULL, 0, 0, 1,
     "input string is not valid UTF-8: incomplete utf-8 byte sequence from index 2"},
    {"string: surrogate", FROM_STRING, "a=\xED\xA0\x80", NULL, NULL, NULL, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 2"},
    {"string: long, byte FF past the first 64", FROM_STRING,
     "a = \"0123456789 0123456789 0123456789 0123456789 0123456789 0123456789 \xFF\"", NULL,
     NULL, NULL, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 71"},
    {"string: long and valid", FROM_STRING,
     "a = \"0123456789 0123456789 0123456789 0123456789 0123456789 0123456789 \xC3\xA9\"",
     NULL, NULL, NULL, 0, 0, 0, NULL},
    {"file: path not UTF-8", FROM_FILE, "x\xC3(.conf", NULL, NULL, NULL, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"string: syntax error", FROM_STRING, "a = {", NULL, NULL, NULL, 0, 0, 2,
     "failed to parse config: ..."},
    {"string: unknown processor", FROM_STRING, "a = \"{b | nope}\"", NULL, NULL, NULL, 0, 0, 2,
     "unknown processor: nope"},
    {"string: load message with NUL", FROM_STRING, "a = \"{b | no\\u0000pe}\"", NULL, NULL, NULL,
     0, 0, 2, NULL},
    {"file: missing file", FROM_FILE, "/nonexistent/veskora/missing.conf", NULL, NULL, NULL, 0, 0,
     2, "failed to parse config: ..."},
    {"string: fine but out_handle null", FROM_STRING, "a = b", NULL, NULL, NULL, 0, 1, 1,
     "out_handle is null"},
    {"string: failing with out_handle null", FROM_STRING, "a = \"{b | nope}\"", NULL, NULL, NULL,
     0, 1, 2, "unknown processor: nope"},
    {"with: text checked before arrays", FROM_STRING_WITH, NULL, NULL, NULL, NULL, 1, 0, 1,
     "input string is null"},
    {"with: arrays checked before the file", FROM_FILE_WITH, "/nonexistent/x.conf", NULL, NULL,
     NULL, 1, 0, 1, "processor names array is null"},
    {"with: names null", FROM_STRING_WITH, "a = b", NULL, some_callbacks, some_user_data, 1, 0, 1,
     "processor names array is null"},
    {"with: callbacks null", FROM_STRING_WITH, "a = b", some_names, NULL, some_user_data, 1, 0, 1,
     "processor callbacks array is null"},
    {"with: user data null", FROM_STRING_WITH, "a = b", some_names, some_callbacks, NULL, 1, 0, 1,
     "processor user data array is null"},
    {"with: null callback at the second index", FROM_STRING_WITH, "a = b", two_names,
     null_second_callbacks, two_user_data, 2, 0, 1, "processor callback is null"},
    {"with: null name", FROM_FILE_WITH, "/nonexistent/x.conf", null_name, some_callbacks,
     some_user_data, 1, 0, 1, "input string is null"},
    {"with: name not UTF-8", FROM_STRING_WITH, "a = b", bad_name, some_callbacks, some_user_data,
     1, 0, 1, "input string is not valid UTF-8: incomplete utf-8 byte sequence from index 2"},
    {"with: count 0 ignores arrays", FROM_STRING_WITH, "a = \"{b | uppercase}\"", NULL, NULL, NULL,
     0, 0, 0, NULL},
    {"with: count 0 with partial arrays", FROM_STRING_WITH, "a = b", some_names, NULL, NULL, 0, 0,
     0, NULL},
    {"with: host processor named in a template", FROM_STRING_WITH, "a = \"{b | p}\"", some_names,
     some_callbacks, some_user_data, 1, 0, 0, NULL},
    {"with: processor unknown without host entry", FROM_STRING_WITH, "a = \"{b | p}\"", NULL, NULL,
     NULL, 0, 0, 2, "unknown processor: p"},
};

static int32_t call_load(const struct load_case *c, veskora_ruleset **out_handle,
                         char **out_error) {
    switch (c->kind) {
    case FROM_FILE:
        return veskora_ruleset_from_file(c->document, out_handle, out_error);
    case FROM_STRING:
        return veskora_ruleset_from_string(c->document, out_handle, out_error);
    case FROM_FILE_WITH:
        return veskora_ruleset_from_file_with_processors(c->document, c->names, c->callbacks,
                                                         c->user_data, c->count, out_handle,
                                                         out_error);
    case FROM_STRING_WITH:
        return veskora_ruleset_from_string_with_processors(c->document, c->names, c->callbacks,
                                                           c->user_data, c->count, out_handle,
                                                           out_error);
    }
    return -1;
}

static void test_load_cases(void) {
    size_t i;
    for (i = 0; i < sizeof load_cases / sizeof load_cases[0]; ++i) {
        const struct load_case *c = &load_cases[i];
        int with_messages;
        /* Once with a message location, once without: the status must not change. */
        for (with_messages = 1; with_messages >= 0; --with_messages) {
            veskora_ruleset *handle = (veskora_ruleset *)SENTINEL;
            char *error = SENTINEL;
            int32_t status = call_load(c, c->null_out_handle ? NULL : &handle,
                                       with_messages ? &error : NULL);
            CHECK(c->label, status == c->status);
            if (with_messages) {
                report_mismatch(c->label, error, c->message);
                CHECK(c->label, message_matches(error, c->message));
                veskora_string_free(error);
            }
            if (!c->null_out_handle) {
                if (c->status == VESKORA_OK) {
                    CHECK(c->label, handle != NULL && handle != (veskora_ruleset *)SENTINEL);
                    veskora_ruleset_free(handle);
                } else {
                    CHECK(c->label, handle == NULL);
                }
            }
        }
    }
}

static void test_free_null(void) {
    veskora_ruleset_free(NULL);
    veskora_string_free(NULL);
    CHECK("free null", 1);
}

/* ---------------------------------------------------------------- rendering */

static const char *const ruleset_text =
    "greeting = \"Hello, {who}!\"\n"
    "who = world\n"
    "shout = \"{who | uppercase}\"\n"
    "again = \"x{again}\"\n"
    "nul = \"a\\u0000b\"\n"
    "person { name = Ada, age = 36, tags = [x, y] }\n"
    "echo { v = \"{again}\" }\n";

static const char *const person_pretty =
    "{\n\t\"age\": 36,\n\t\"name\": \"Ada\",\n\t\"tags\": [\n\t\t\"x\",\n\t\t\"y\"\n\t]\n}";
static const char *const person_compact = "{\"age\":36,\"name\":\"Ada\",\"tags\":[\"x\",\"y\"]}";

enum render_mode { TEXT, INFERRED, JSON_PRETTY, JSON_COMPACT };

static const char *const who_keys[] = {"who"};
static const char *const who_values[] = {"Bob"};
static const char *const dup_keys[] = {"who", "other", "who"};
static const char *const dup_values[] = {"first", "x", "second"};
static const char *const null_key[] = {"who", NULL};
static const char *const null_value[] = {"who", NULL};
static const char *const two_values[] = {"a", "b"};
static const char *const two_keys[] = {"a", "b"};
static const char *const bad_key[] = {"w\xFF"};
static const char *const again_key[] = {"again"};

struct render_case {
    const char *label;
    enum render_mode mode;
    int null_handle;
    const char *rule_name;
    const char *const *keys;
    const char *const *values;
    size_t count;
    uint64_t options;
    int null_out;
    int32_t status;
    const char *expected; /* the output on success, the message on failure */
};

static const struct render_case render_cases[] = {
    /* successes */
    {"text: plain", TEXT, 0, "greeting", NULL, NULL, 0, 0, 0, 0, "Hello, world!"},
    {"text: context", TEXT, 0, "greeting", who_keys, who_values, 1, 0, 0, 0, "Hello, Bob!"},
    {"text: count 0 ignores the arrays", TEXT, 0, "greeting", who_keys, NULL, 0, 0, 0, 0,
     "Hello, world!"},
    {"text: later duplicate key wins", TEXT, 0, "greeting", dup_keys, dup_values, 3, 0, 0, 0,
     "Hello, second!"},
    {"text: built-in processor", TEXT, 0, "shout", NULL, NULL, 0, 0, 0, 0, "WORLD"},
    {"text: options 1 allows one re-entry", TEXT, 0, "again", NULL, NULL, 0, 1, 0, 0, "xx"},
    {"text: options 2", TEXT, 0, "again", NULL, NULL, 0, 2, 0, 0, "xxx"},
    {"text: null out_text still renders", TEXT, 0, "greeting", NULL, NULL, 0, 0, 1, 0, NULL},
    {"text: null out_text discards a NUL text", TEXT, 0, "nul", NULL, NULL, 0, 0, 1, 0, NULL},
    {"inferred: object rule is tab-indented JSON", INFERRED, 0, "person", NULL, NULL, 0, 0, 0, 0,
     person_pretty},
    {"inferred: template rule is text", INFERRED, 0, "greeting", who_keys, who_values, 1, 0, 0, 0,
     "Hello, Bob!"},
    {"inferred: dotted path to a member", INFERRED, 0, "person.name", NULL, NULL, 0, 0, 0, 0,
     "Ada"},
    {"json: pretty", JSON_PRETTY, 0, "person", NULL, NULL, 0, 0, 0, 0, person_pretty},
    {"json: compact", JSON_COMPACT, 0, "person", NULL, NULL, 0, 0, 0, 0, person_compact},
    {"inferred: options reach the text road", INFERRED, 0, "again", NULL, NULL, 0, 1, 0, 0, "xx"},
    {"json: options reach the structured render", JSON_COMPACT, 0, "echo", NULL, NULL, 0, 2, 0,
     0, "{\"v\":\"xxx\"}"},
    {"json: context reaches the structured render", JSON_COMPACT, 0, "echo", again_key,
     who_values, 1, 0, 0, 0, "{\"v\":\"Bob\"}"},
    /* failures */
    {"text: null handle", TEXT, 1, "greeting", NULL, NULL, 0, 0, 0, 1, "ruleset handle is null"},
    {"text: null handle, null out_text", TEXT, 1, "greeting", NULL, NULL, 0, 0, 1, 1,
     "ruleset handle is null"},
    {"inferred: null handle", INFERRED, 1, "greeting", NULL, NULL, 0, 0, 0, 1,
     "ruleset handle is null"},
    {"json: null handle", JSON_PRETTY, 1, "person", NULL, NULL, 0, 0, 0, 1,
     "ruleset handle is null"},
    {"json: null out_json before the handle", JSON_COMPACT, 1, "person", NULL, NULL, 0, 0, 1, 1,
     "out_json is null"},
    {"json: null out_json", JSON_PRETTY, 0, "person", NULL, NULL, 0, 0, 1, 1, "out_json is null"},
    {"text: null rule name", TEXT, 0, NULL, NULL, NULL, 0, 0, 0, 1, "input string is null"},
    {"inferred: rule name not UTF-8", INFERRED, 0, "gr\x80", NULL, NULL, 0, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 2"},
    {"json: null rule name", JSON_COMPACT, 0, NULL, NULL, NULL, 0, 0, 0, 1,
     "input string is null"},
    {"text: keys array null", TEXT, 0, "greeting", NULL, who_values, 1, 0, 0, 1,
     "context keys array is null"},
    {"text: both arrays null", TEXT, 0, "greeting", NULL, NULL, 1, 0, 0, 1,
     "context keys array is null"},
    {"inferred: values array null", INFERRED, 0, "greeting", who_keys, NULL, 1, 0, 0, 1,
     "context values array is null"},
    {"json: values array null", JSON_PRETTY, 0, "person", who_keys, NULL, 1, 0, 0, 1,
     "context values array is null"},
    {"text: null key entry", TEXT, 0, "greeting", null_key, two_values, 2, 0, 0, 1,
     "input string is null"},
    {"json: null value entry", JSON_COMPACT, 0, "person", two_keys, null_value, 2, 0, 0, 1,
     "input string is null"},
    {"text: key not UTF-8", TEXT, 0, "greeting", bad_key, who_values, 1, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"json: value not UTF-8", JSON_PRETTY, 0, "person", who_keys, bad_key, 1, 0, 0, 1,
     "input string is not valid UTF-8: invalid utf-8 sequence of 1 bytes from index 1"},
    {"json: options 0 refuses re-entry", JSON_PRETTY, 0, "echo", NULL, NULL, 0, 0, 0, 3,
     "circular rule reference: again -> again"},
    {"text: unknown rule", TEXT, 0, "nope", NULL, NULL, 0, 0, 0, 3, "unknown rule: nope"},
    {"inferred: unknown rule", INFERRED, 0, "nope", NULL, NULL, 0, 0, 0, 3, "unknown rule: nope"},
    {"json: unknown rule", JSON_COMPACT, 0, "nope", NULL, NULL, 0, 0, 0, 3, "unknown rule: nope"},
    {"json: template rule", JSON_PRETTY, 0, "greeting", NULL, NULL, 0, 0, 0, 3,
     "structured render target must be an object: greeting"},
    {"text: options 0 refuses re-entry", TEXT, 0, "again", NULL, NULL, 0, 0, 0, 3,
     "circular rule reference: again -> again"},
    {"text: object rule", TEXT, 0, "person", NULL, NULL, 0, 0, 0, 3,
     "unsupported value type: object"},
    {"text: output with NUL", TEXT, 0, "nul", NULL, NULL, 0, 0, 0, 3,
     "output string contains an interior NUL byte"},
    {"inferred: output with NUL", INFERRED, 0, "nul", NULL, NULL, 0, 0, 0, 3,
     "output string contains an interior NUL byte"},
};

static int32_t call_render(const veskora_ruleset *handle, const struct render_case *c, char **out,
                           char **out_error) {
    switch (c->mode) {
    case TEXT:
        return veskora_ruleset_render_with_context_and_options(
            handle, c->rule_name, c->keys, c->values, c->count, c->options, out, out_error);
    case INFERRED:
        return veskora_ruleset_render_inferred_with_context_and_options(
            handle, c->rule_name, c->keys, c->values, c->count, c->options, out, out_error);
    case JSON_PRETTY:
    case JSON_COMPACT:
        return veskora_ruleset_render_structured_json_with_context_and_options(
            handle, c->rule_name, c->keys, c->values, c->count, c->mode == JSON_PRETTY,
            c->options, out, out_error);
    }
    return -1;
}

static veskora_ruleset *load_or_die(const char *text) {
    veskora_ruleset *handle = NULL;
    char *error = NULL;
    if (veskora_ruleset_from_string(text, &handle, &error) != VESKORA_OK) {
        fprintf(stderr, "cannot load test ruleset: %s\n", error ? error : "(no message)");
        exit(2);
    }
    return handle;
}

static void test_render_cases(void) {
    veskora_ruleset *handle = load_or_die(ruleset_text);
    size_t i;
    for (i = 0; i < sizeof render_cases / sizeof render_cases[0]; ++i) {
        const struct render_case *c = &render_cases[i];
        int with_messages;
        for (with_messages = 1; with_messages >= 0; --with_messages) {
            char *out = SENTINEL;
            char *error = SENTINEL;
            int32_t status = call_render(c->null_handle ? NULL : handle, c, c->null_out ? NULL : &out,
                                         with_messages ? &error : NULL);
            CHECK(c->label, status == c->status);
            if (c->status == VESKORA_OK) {
                if (with_messages) {
                    CHECK(c->label, error == NULL);
                }
                if (!c->null_out) {
                    report_mismatch(c->label, out, c->expected);
                    CHECK(c->label, same_text(out, c->expected));
                    veskora_string_free(out);
                }
            } else {
                if (with_messages) {
                    report_mismatch(c->label, error, c->expected);
                    CHECK(c->label, same_text(error, c->expected));
                    veskora_string_free(error);
                }
                if (!c->null_out) {
                    CHECK(c->label, out == NULL);
                }
            }
        }
    }
    veskora_ruleset_free(handle);
}

/* The shorter forms forward to the full form with an empty context and options 0. */
static void test_short_forms(void) {
    veskora_ruleset *handle = load_or_die(ruleset_text);
    char *a = NULL;
    char *b = NULL;
    char *c = NULL;
    char *error = NULL;

    CHECK("render", veskora_ruleset_render(handle, "greeting", &a, NULL) == 0);
    CHECK("render_with_context",
          veskora_ruleset_render_with_context(handle, "greeting", NULL, NULL, 0, &b, NULL) == 0);
    CHECK("short text forms agree", same_text(a, "Hello, world!") && same_text(b, a));
    veskora_string_free(a);
    veskora_string_free(b);

    CHECK("render_inferred", veskora_ruleset_render_inferred(handle, "person", &a, NULL) == 0);
    CHECK("render_inferred_with_context",
          veskora_ruleset_render_inferred_with_context(handle, "person", NULL, NULL, 0, &b,
                                                       NULL) == 0);
    CHECK("short inferred forms agree", same_text(a, person_pretty) && same_text(b, a));
    veskora_string_free(a);
    veskora_string_free(b);

    CHECK("json", veskora_ruleset_render_structured_json(handle, "person", false, &a, NULL) == 0);
    CHECK("json_with_context", veskora_ruleset_render_structured_json_with_context(
                                   handle, "person", NULL, NULL, 0, true, &b, NULL) == 0);
    CHECK("short json forms", same_text(a, person_compact) && same_text(b, person_pretty));
    veskora_string_free(a);
    veskora_string_free(b);

    /* Options 0 in the short forms: the self-reference fails. */
    CHECK("render refuses re-entry", veskora_ruleset_render(handle, "again", &c, &error) == 3);
    CHECK("render refuses re-entry: message",
          same_text(error, "circular rule reference: again -> again") && c == NULL);
    veskora_string_free(error);
    CHECK("render_with_context with context",
          veskora_ruleset_render_with_context(handle, "greeting", who_keys, who_values, 1, &c,
                                              &error) == 0 &&
              same_text(c, "Hello, Bob!") && error == NULL);
    veskora_string_free(c);
    CHECK("short forms: null handle",
          veskora_ruleset_render_inferred(NULL, "x", NULL, &error) == 1 &&
              same_text(error, "ruleset handle is null"));
    veskora_string_free(error);
    CHECK("short forms: out_json null",
          veskora_ruleset_render_structured_json(NULL, "x", true, NULL, &error) == 1 &&
              same_text(error, "out_json is null"));
    veskora_string_free(error);
    veskora_ruleset_free(handle);
}

/* ---------------------------------------------------------------- host processors */

static char scratch[256];
static int calls;

static int32_t cb_wrap(const char *input, veskora_processor_result *result, void *user_data) {
    (void)user_data;
    ++calls;
    snprintf(scratch, sizeof scratch, "[%s]", input);
    return veskora_processor_result_set_output(result, scratch);
}

static int32_t cb_error_after_output(const char *input, veskora_processor_result *result,
                                     void *user_data) {
    (void)input;
    (void)user_data;
    veskora_processor_result_set_output(result, "ignored");
    veskora_processor_result_set_error(result, "the host says no");
    return 0;
}

static int32_t cb_status_7(const char *input, veskora_processor_result *result, void *user_data) {
    (void)input;
    (void)result;
    (void)user_data;
    return 7;
}

static int32_t cb_output_then_minus_1(const char *input, veskora_processor_result *result,
                                      void *user_data) {
    (void)input;
    (void)user_data;
    veskora_processor_result_set_output(result, "ignored");
    return -1;
}

static int32_t cb_no_output(const char *input, veskora_processor_result *result,
                            void *user_data) {
    (void)input;
    (void)result;
    (void)user_data;
    return 0;
}

static int32_t cb_empty(const char *input, veskora_processor_result *result, void *user_data) {
    (void)input;
    (void)user_data;
    return veskora_processor_result_set_output(result, "");
}

static int32_t cb_host_upper(const char *input, veskora_processor_result *result,
                             void *user_data) {
    (void)user_data;
    snprintf(scratch, sizeof scratch, "host:%s", input);
    return veskora_processor_result_set_output(result, scratch);
}

/* Echoes its user data, or "null" when there is none. */
static int32_t cb_user_data(const char *input, veskora_processor_result *result,
                            void *user_data) {
    (void)input;
    return veskora_processor_result_set_output(result,
                                               user_data ? (const char *)user_data : "null");
}

static int32_t cb_first(const char *input, veskora_processor_result *result, void *user_data) {
    (void)input;
    (void)user_data;
    return veskora_processor_result_set_output(result, "first");
}

static int32_t cb_second(const char *input, veskora_processor_result *result, void *user_data) {
    (void)input;
    (void)user_data;
    return veskora_processor_result_set_output(result, "second");
}

/* Every setter refusal, then the second of two outputs kept over a later non-UTF-8 one. */
static int32_t setter_statuses[8];
static int32_t cb_setters(const char *input, veskora_processor_result *result, void *user_data) {
    (void)input;
    (void)user_data;
    setter_statuses[0] = veskora_processor_result_set_output(NULL, "x");
    setter_statuses[1] = veskora_processor_result_set_error(NULL, "x");
    setter_statuses[2] = veskora_processor_result_set_output(result, NULL);
    setter_statuses[3] = veskora_processor_result_set_error(result, NULL);
    setter_statuses[4] = veskora_processor_result_set_error(result, "bad \xFF");
    setter_statuses[5] = veskora_processor_result_set_output(result, "one");
    setter_statuses[6] = veskora_processor_result_set_output(result, "two");
    setter_statuses[7] = veskora_processor_result_set_output(result, "three \xC0");
    return 0;
}

static const char *const host_ruleset_text =
    "who = world\n"
    "nul = \"a\\u0000b\"\n"
    "wrapped = \"{who | wrap}\"\n"
    "twice = \"{who | wrap | wrap}\"\n"
    "error_after_output = \"{who | error_after_output}\"\n"
    "status_7 = \"{who | status_7}\"\n"
    "minus_1 = \"{who | minus_1}\"\n"
    "no_output = \"{who | no_output}\"\n"
    "empty = \"<{who | empty}>\"\n"
    "upper = \"{who | uppercase}\"\n"
    "lower = \"{who | uppercase | lowercase}\"\n"
    "tagged = \"{who | tagged}\"\n"
    "untagged = \"{who | untagged}\"\n"
    "dup = \"{who | dup}\"\n"
    "setters = \"{who | setters}\"\n"
    "nul_input = \"{nul | wrap}\"\n"
    "obj { w = \"{who | wrap}\" }\n";

static const char *const host_names[] = {
    "wrap",  "error_after_output", "status_7", "minus_1", "no_output", "empty",  "uppercase",
    "tagged", "untagged",          "dup",      "dup",     "setters"};
static const veskora_processor_callback host_callbacks[] = {
    cb_wrap,        cb_error_after_output, cb_status_7, cb_output_then_minus_1,
    cb_no_output,   cb_empty,              cb_host_upper, cb_user_data,
    cb_user_data,   cb_first,              cb_second,   cb_setters};
static char tag[] = "the tag";
static void *const host_user_data[] = {NULL, NULL, NULL, NULL, NULL, NULL,
                                       NULL, tag,  NULL, NULL, NULL, NULL};

struct host_case {
    const char *label;
    const char *rule;
    int32_t status;
    const char *expected;
};

static const struct host_case host_cases[] = {
    {"set_output", "wrapped", 0, "[world]"},
    {"pipeline of two host steps", "twice", 0, "[[world]]"},
    {"error after output", "error_after_output", 3,
     "processor error_after_output failed: the host says no"},
    {"status 7", "status_7", 3, "processor status_7 failed: processor callback failed with status 7"},
    {"output then -1", "minus_1", 3,
     "processor minus_1 failed: processor callback failed with status -1"},
    {"no output", "no_output", 3,
     "processor no_output failed: processor callback did not set output"},
    {"empty output accepted", "empty", 0, "<>"},
    {"host uppercase replaces the built-in", "upper", 0, "host:world"},
    {"built-in next to a host processor", "lower", 0, "host:world"},
    {"user data reaches the callback", "tagged", 0, "the tag"},
    {"null user data reaches the callback as null", "untagged", 0, "null"},
    {"later of two equal names wins", "dup", 0, "second"},
    {"setters keep the last valid output", "setters", 0, "two"},
    {"input with NUL never reaches the callback", "nul_input", 3,
     "processor wrap failed: processor input contains an interior NUL byte"},
};

static void test_host_processors(void) {
    veskora_ruleset *handle = NULL;
    char *error = NULL;
    size_t i;
    int32_t status = veskora_ruleset_from_string_with_processors(
        host_ruleset_text, host_names, host_callbacks, host_user_data,
        sizeof host_names / sizeof host_names[0], &handle, &error);
    report_mismatch("host load", error, NULL);
    CHECK("host load", status == 0 && handle != NULL && error == NULL);
    if (handle == NULL) {
        return;
    }
    CHECK("callbacks never run while loading", calls == 0);

    for (i = 0; i < sizeof host_cases / sizeof host_cases[0]; ++i) {
        const struct host_case *c = &host_cases[i];
        char *out = SENTINEL;
        error = SENTINEL;
        calls = 0;
        status = veskora_ruleset_render(handle, c->rule, &out, &error);
        CHECK(c->label, status == c->status);
        if (c->status == 0) {
            report_mismatch(c->label, out, c->expected);
            CHECK(c->label, same_text(out, c->expected) && error == NULL);
        } else {
            report_mismatch(c->label, error, c->expected);
            CHECK(c->label, same_text(error, c->expected) && out == NULL);
        }
        veskora_string_free(out);
        veskora_string_free(error);
    }
    CHECK("NUL input: callback not called", calls == 0);

    CHECK("setter statuses", setter_statuses[0] == 1 && setter_statuses[1] == 1 &&
                                 setter_statuses[2] == 1 && setter_statuses[3] == 1 &&
                                 setter_statuses[4] == 1 && setter_statuses[5] == 0 &&
                                 setter_statuses[6] == 0 && setter_statuses[7] == 1);

    /* A render with out_text null still runs the processors. */
    calls = 0;
    CHECK("null out_text", veskora_ruleset_render(handle, "wrapped", NULL, NULL) == 0);
    CHECK("null out_text still calls the processor", calls == 1);

    /* Host processors serve structured renders too. */
    {
        char *json = NULL;
        CHECK("json through a host processor",
              veskora_ruleset_render_structured_json(handle, "obj", false, &json, NULL) == 0 &&
                  same_text(json, "{\"w\":\"[world]\"}"));
        veskora_string_free(json);
    }
    veskora_ruleset_free(handle);
}

int main(void) {
    test_load_cases();
    test_free_null();
    test_render_cases();
    test_short_forms();
    test_host_processors();
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

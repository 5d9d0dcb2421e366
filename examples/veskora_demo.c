/* veskora_demo: loads a ruleset file and renders one rule.
 *
 *   veskora_demo [--text | --json | --compact-json] [-n COUNT] FILE RULE [KEY=VALUE ...]
 *
 * Without a mode flag the render is inferred: an object-valued rule comes back as indented
 * JSON, anything else as text. KEY=VALUE pairs form the render's context. The demo also
 * registers one host processor, "emphasize", to show how a host adds its own. */
#include "veskora.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

enum mode { INFERRED, TEXT, JSON_PRETTY, JSON_COMPACT };

static const char *status_name(int32_t status) {
    switch (status) {
    case VESKORA_ERR_ARGUMENT:
        return "invalid argument";
    case VESKORA_ERR_LOAD:
        return "load failed";
    case VESKORA_ERR_RENDER:
        return "render failed";
    default:
        return "unknown status";
    }
}

static void report(const char *what, int32_t status, char *error) {
    fprintf(stderr, "veskora_demo: %s: status %d (%s): %s\n", what, (int)status,
            status_name(status), error ? error : "(no message)");
    veskora_string_free(error);
}

/* The host processor: wraps its input in asterisks. */
static int32_t emphasize(const char *input, veskora_processor_result *result, void *user_data) {
    size_t length = strlen(input);
    char *text = malloc(length + 3);
    int32_t status;
    (void)user_data;
    if (text == NULL) {
        return veskora_processor_result_set_error(result, "out of memory");
    }
    text[0] = '*';
    memcpy(text + 1, input, length);
    text[length + 1] = '*';
    text[length + 2] = '\0';
    /* The library copies the text; the host keeps (and frees) its own. */
    status = veskora_processor_result_set_output(result, text);
    free(text);
    return status;
}

static int usage(void) {
    fprintf(stderr, "usage: veskora_demo [--text | --json | --compact-json] [-n COUNT] FILE RULE "
                    "[KEY=VALUE ...]\n");
    return 2;
}

int main(int argc, char **argv) {
    enum mode mode = INFERRED;
    long count = 1;
    int arg = 1;
    const char *path;
    const char *rule;
    const char **keys;
    const char **values;
    size_t context_count = 0;
    size_t i;
    veskora_ruleset *ruleset = NULL;
    char *error = NULL;
    int32_t status;
    int exit_code = 0;
    const char *names[] = {"emphasize"};
    const veskora_processor_callback callbacks[] = {emphasize};
    void *user_data[] = {NULL};

    for (; arg < argc && argv[arg][0] == '-'; ++arg) {
        if (strcmp(argv[arg], "--text") == 0) {
            mode = TEXT;
        } else if (strcmp(argv[arg], "--json") == 0) {
            mode = JSON_PRETTY;
        } else if (strcmp(argv[arg], "--compact-json") == 0) {
            mode = JSON_COMPACT;
        } else if (strcmp(argv[arg], "-n") == 0 && arg + 1 < argc) {
            count = strtol(argv[++arg], NULL, 10);
            if (count < 1) {
                return usage();
            }
        } else {
            return usage();
        }
    }
    if (argc - arg < 2) {
        return usage();
    }
    path = argv[arg];
    rule = argv[arg + 1];
    arg += 2;

    /* The context: KEY=VALUE arguments split at the first '='. */
    keys = calloc((size_t)(argc - arg) + 1, sizeof *keys);
    values = calloc((size_t)(argc - arg) + 1, sizeof *values);
    if (keys == NULL || values == NULL) {
        fprintf(stderr, "veskora_demo: out of memory\n");
        return 1;
    }
    for (; arg < argc; ++arg) {
        char *separator = strchr(argv[arg], '=');
        if (separator == NULL) {
            free(keys);
            free(values);
            return usage();
        }
        *separator = '\0';
        keys[context_count] = argv[arg];
        values[context_count] = separator + 1;
        ++context_count;
    }

    status = veskora_ruleset_from_file_with_processors(path, names, callbacks, user_data, 1,
                                                       &ruleset, &error);
    if (status != VESKORA_OK) {
        report("loading", status, error);
        free(keys);
        free(values);
        return 1;
    }

    for (i = 0; i < (size_t)count && exit_code == 0; ++i) {
        char *output = NULL;
        switch (mode) {
        case INFERRED:
            status = veskora_ruleset_render_inferred_with_context(
                ruleset, rule, keys, values, context_count, &output, &error);
            break;
        case TEXT:
            status = veskora_ruleset_render_with_context(ruleset, rule, keys, values,
                                                         context_count, &output, &error);
            break;
        case JSON_PRETTY:
        case JSON_COMPACT:
            status = veskora_ruleset_render_structured_json_with_context(
                ruleset, rule, keys, values, context_count, mode == JSON_PRETTY, &output,
                &error);
            break;
        }
        if (status == VESKORA_OK) {
            printf("%s\n", output);
            veskora_string_free(output);
        } else {
            report("rendering", status, error);
            exit_code = 1;
        }
    }

    veskora_ruleset_free(ruleset);
    free(keys);
    free(values);
    return exit_code;
}

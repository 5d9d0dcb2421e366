/* A host built against the installed library: loads a ruleset from text and renders one rule. */
#include <stdio.h>

#include <veskora.h>

int main(void) {
    veskora_ruleset *rules = NULL;
    char *text = NULL, *error = NULL;
    int status = veskora_ruleset_from_string("greeting = \"Hello, {who | capitalize}!\"\nwho = [installed]",
                                             &rules, &error);
    if (status == VESKORA_OK) status = veskora_ruleset_render(rules, "greeting", &text, &error);
    if (status == VESKORA_OK)
        puts(text);
    else
        fprintf(stderr, "status %d: %s\n", status, error ? error : "(no message)");
    veskora_string_free(text);
    veskora_string_free(error);
    veskora_ruleset_free(rules);
    return status == VESKORA_OK ? 0 : 1;
}

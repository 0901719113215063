// splitlist and splitlistc: a string split into a heap vector of owned word
// copies, freed with freeargs.

#include "kobase.h"

#include <cstdlib>
#include <cstring>

extern "C" {

void freeargs(int argc, char **argv) {
    if (!argv) return;
    for (int i = 0; i < argc; i++) free(argv[i]);
    free(argv);
}

int splitlistc(char *list, int *argc, char ***argv, char *schars) {
    if (!argc || !argv) {
        elog_log(0, "splitlist: null result pointer.\n");
        return -1;
    }
    // Cleared first: whatever fails below, the result is the empty one that
    // freeargs accepts, never what the caller's variables held before.
    *argc = 0;
    *argv = nullptr;
    char *work = strdup(list ? list : "");
    if (!work) {
        elog_log(1, "splitlist: strdup() error.\n");
        return -1;
    }
    char *save = nullptr;
    const char *sep = schars ? schars : "";
    for (char *w = strtok_r(work, sep, &save); w; w = strtok_r(nullptr, sep, &save)) {
        char **grown = static_cast<char **>(*argv ? realloc(*argv, sizeof(char *) * (size_t)(*argc + 1))
                                                   : malloc(sizeof(char *)));
        if (!grown) {
            elog_log(1, *argv ? "splitlist: realloc() error.\n" : "splitlist: malloc() error.\n");
            goto fail;
        }
        *argv = grown;
        (*argv)[*argc] = strdup(w);
        if (!(*argv)[*argc]) {
            elog_log(1, "splitlist: strdup() error.\n");
            goto fail;
        }
        (*argc)++;
    }
    free(work);
    return 0;
fail:
    freeargs(*argc, *argv);
    *argc = 0;
    *argv = nullptr;
    free(work);
    return -1;
}

int splitlist(char *list, int *argc, char ***argv) { return splitlistc(list, argc, argv, (char *)" \t"); }

}  // extern "C"

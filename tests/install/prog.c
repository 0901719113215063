/* A C program outside the tree: built against the installed headers and
 * libraries through pkg-config, it proves the public headers are C. */
#include <stdio.h>
#include <string.h>

#include "velkutil.h"

int main(void) {
    int argc;
    char **argv;
    if (splitlist((char *)"a b c", &argc, &argv) < 0 || argc != 3 || strcmp(argv[2], "c") != 0) return 1;
    freeargs(argc, argv);
    elog_log(0, "hello\n");
    if (elog_count() != 1) return 1;
    printf("installed library works\n");
    return 0;
}

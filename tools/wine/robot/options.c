/* The box robot's command line (robot.c lists its options). */
#include "robot.h"

#include <stdlib.h>
#include <string.h>

_Noreturn void fail(const char *message, const char *detail)
{
    fprintf(stderr, "boxrobot: %s%s%s (error %lu)\n", message, detail ? ": " : "", detail ? detail : "",
            (unsigned long)GetLastError());
    exit(2);
}

/* Appends one argument to a command line, quoted the way the C runtime splits it. */
static void appendArgument(char *line, size_t size, const char *arg)
{
    size_t n = strlen(line);
    const char *p;
    int needQuotes = (*arg == '\0') || strpbrk(arg, " \t\"") != NULL;
    if (n > 0 && n + 1 < size) line[n++] = ' ';
    if (needQuotes && n + 1 < size) line[n++] = '"';
    for (p = arg; *p && n + 2 < size; ++p) {
        if (*p == '"') line[n++] = '\\';
        line[n++] = *p;
    }
    if (needQuotes && n + 1 < size) line[n++] = '"';
    line[n] = '\0';
}

void parseOptions(int argc, char **argv, struct Options *o)
{
    int i;
    memset(o, 0, sizeof *o);
    o->answer = "yes";
    o->timeoutSeconds = 20;
    for (i = 1; i < argc; ++i) {
        const char *a = argv[i];
        if (strcmp(a, "--") == 0) {
            ++i;
            break;
        }
        if (i + 1 >= argc) fail("option without a value", a);
        if (strcmp(a, "--log") == 0) o->log = argv[++i];
        else if (strcmp(a, "--answer") == 0) o->answer = argv[++i];
        else if (strcmp(a, "--shots") == 0) o->shots = argv[++i];
        else if (strcmp(a, "--hold") == 0) o->hold = argv[++i];
        else if (strcmp(a, "--until") == 0) o->until = argv[++i];
        else if (strcmp(a, "--timeout") == 0) o->timeoutSeconds = atoi(argv[++i]);
        else fail("unknown option", a);
    }
    if (i >= argc) fail("no program given", NULL);
    if (o->until && (!o->hold || !strchr(o->until, '=') || strchr(o->until, '=') != strrchr(o->until, '=')))
        fail("--until takes FILE=REFERENCE, with --hold", o->until);
    if (strcmp(o->answer, "yes") && strcmp(o->answer, "no") && strcmp(o->answer, "escape"))
        fail("--answer takes yes, no or escape", o->answer);
    for (; i < argc; ++i) appendArgument(o->commandLine, sizeof o->commandLine, argv[i]);
}

/*
 * ranout_pvt.h -- telling memory running out from other failures.  Several
 * engine calls fail quietly for reasons a caller expects (an outer join's
 * missing partner, a row without a file name) and the trace layer drops
 * their messages; a failure because memory ran out must not be taken for
 * one of those.  The engine reports it with flag 1 and the system's ENOMEM
 * text, which is what this looks for.
 */
#ifndef HOSTKIT_RANOUT_PVT_H
#define HOSTKIT_RANOUT_PVT_H

#include <cerrno>
#include <cstring>

#include "stock.h"

/* True when a message registered after mark (elog_mark) says that memory
 * ran out. */
inline bool elog_ran_out_since(int mark) {
    const char *enomem = strerror(ENOMEM);
    for (int i = mark < 0 ? 0 : mark; i < elog_count(); i++) {
        const char *sys = elog_message_syserr(i);
        if (elog_message_flag(i) == 1 && sys && !strcmp(sys, enomem)) return true;
    }
    return false;
}

#endif

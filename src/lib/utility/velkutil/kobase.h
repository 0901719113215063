/*
 * kobase.h -- what every family shares: error reporting into the host error
 * register, the process-wide object names, filling structures from parameter
 * files, and splitting lists into words.
 */
#ifndef VELKUTIL_KOBASE_H
#define VELKUTIL_KOBASE_H

#include "stock.h"
#include "arrays.h"
#include "pf.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Error reporting (messages land in the calling thread's error register). */
void ko_register_error(int flag, const char *format, ...) __attribute__((format(printf, 2, 3)));
void ko_complain(int flag, const char *format, ...) __attribute__((format(printf, 2, 3)));
void ko_die(int flag, const char *format, ...) __attribute__((format(printf, 2, 3), noreturn));
void ko_clear_register(int flag);

/* Object names: one name and class name per object, unique in the process. */
typedef struct KO_Name_ {
    char *name;
    char *class_name;
    void *obj;
} KO_Name;

/* Names obj; 0, or -1 for a name or object already named or when memory
 * runs out (the name is then in neither direction: all or nothing). */
int KO_SetName(char *name, char *class_name, void *obj);
void *KO_GetObject(char *name, char *class_name);
char *KO_GetName(void *object, char *class_name);

/* Parameter structures. */
typedef struct pf2struc_def_ {
    char *name;
    int pftype;
    int required;
    int struc_offset;
} Pf2strucDef;

/* Kinds 6 and 9 (a new list or array copy) fail with "parse_param:
 * pfget_tbl(%s) error.\n" or "parse_param: pfget_arr(%s) error.\n" (flag 1)
 * when the copy cannot be made, rather than storing null. */
int parse_param(Pf *pf, char *name, int type, int need, void *val);
int pf2struc(Pf *pf, int ndefs, Pf2strucDef *defs, void *struc);

/* List splitting. */
int splitlist(char *list, int *argc, char ***argv);
/* splitlistc empties *argc and *argv before anything else, so every failure
 * leaves the empty result that freeargs accepts; null result pointers fail
 * with "splitlist: null result pointer.\n". */
int splitlistc(char *list, int *argc, char ***argv, char *schars);
void freeargs(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif

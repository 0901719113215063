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

int parse_param(Pf *pf, char *name, int type, int need, void *val);
int pf2struc(Pf *pf, int ndefs, Pf2strucDef *defs, void *struc);

/* List splitting. */
int splitlist(char *list, int *argc, char ***argv);
int splitlistc(char *list, int *argc, char ***argv, char *schars);
void freeargs(int argc, char **argv);

#ifdef __cplusplus
}
#endif

#endif

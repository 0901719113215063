/*
 * KOConfigure.h -- configurable objects.  A class declares its settable
 * options once, as a static table of option entries, and is then
 * configured from a parameter file, from a null-terminated list of name and
 * value strings, or from an argument list.  Each entry names an
 * option, its value type, a default in text form and where in a client record
 * (a plain structure owned by the object) the converted value is stored.
 * Applying a value records whether it changed the stored value, so that the
 * object can react to changes.
 *
 * Built-in value types and what they store at the option's offset:
 *   "boolean"  int: 1, 0, or -1 for "not set" (the words of KO_ParseBoolean)
 *   "int"      int, read with strtol in base 0 and nothing after the number
 *   "double"   double, read with fix_strtod; trailing characters ignored
 *   "string"   char *: an owned copy of the text, or null
 *   "uid"      as "string"
 *   "ptr"      the value pointer itself, not copied and not owned
 *   "custom"   whatever the option's own parse procedure stores
 *   "end"      nothing; closes a table of option entries
 * Failures are registered in the calling thread's error register
 * (ko_register_error) and reported by the results given below.
 *
 * The option tables are not copied: they must outlive the object, and
 * applying values sets and clears KO_CONFIGURE_CHANGED in their entries.  An
 * object is configured from one thread at a time.
 */
#ifndef VELKUTIL_KOCONFIGURE_H
#define VELKUTIL_KOCONFIGURE_H

#include <stdarg.h>

#include "stock.h"
#include "arrays.h"
#include "pf.h"

/* Bits of KO_ConfigureSpec.specFlags. */
#define KO_CONFIGURE_NULL_OK    1   /* a null value may be set ("string", "uid", "ptr") */
#define KO_CONFIGURE_NO_DEFAULT 8   /* the default is not applied with the defaults */
#define KO_CONFIGURE_CHANGED    16  /* the last configure operation changed the value */

typedef void *KO_ClientData;

struct ko_configure_spec_;

/* A custom option's parser: converts value and stores it in paramRec at
 * offset, setting KO_CONFIGURE_CHANGED in spec->specFlags if the stored value
 * changed.  Negative on failure. */
typedef int(KO_OptionParseProc)(struct ko_configure_spec_ *spec, KO_ClientData clientData, char *value,
                                char *paramRec, int offset);
/* A custom option's printer: a new malloc'ed string, owned by the caller,
 * that shows the current value. */
typedef char *(KO_OptionPrintProc)(struct ko_configure_spec_ *spec, KO_ClientData clientData, char *paramRec,
                                   int offset);

typedef struct ko_custom_option_ {
    KO_OptionParseProc *parseProc;
    KO_OptionPrintProc *printProc;
    KO_ClientData clientData;  /* handed back to both procedures */
} KO_CustomOption;

/* One option entry; a table of them ends with an entry of type
 * "end". */
typedef struct ko_configure_spec_ {
    const char *type;           /* the value type's name */
    const char *name;           /* the option's name */
    const char *defValue;       /* the default in text form, or null */
    int offset;                 /* byte position of the value in the client record */
    int specFlags;              /* KO_CONFIGURE_* bits */
    KO_CustomOption *customPtr; /* for type "custom" only */
} KO_ConfigureSpec;

/* A type parser: converts value and stores it in paramRec at spec->offset.
 * 0, or negative on failure. */
typedef int(KO_TypeParserProc)(KO_ConfigureSpec *spec, char *value, char *paramRec);

/* One registered option. */
typedef struct ko_configure_specs_ {
    KO_ConfigureSpec *configureSpec; /* the caller's entry (not copied) */
    char *paramRec;                  /* the client record it writes into */
    KO_TypeParserProc *typeParser;   /* the parser of its type */
    char *class_name;                /* owned copy of the registering class's name, or null */
} KOConfigureSpecs;

/* KO_ParseBoolean: null or empty value sets *boolean to -1; "t", "true",
 * "y", "yes", "on", "1" set 1; "f", "false", "n", "no", "off", "0" set 0
 * (exact, case-sensitive).  Returns 0.  Any other text registers
 * "KO_ParseBoolean: Unrecognized value '%s'\n", leaves *boolean alone and
 * returns -1. */
int KO_ParseBoolean(char *value, int *boolean);

/* KO_Strcmp: 0 if both strings are null, 1 if exactly one is, otherwise
 * strcmp's result. */
int KO_Strcmp(char *str1, char *str2);

class KOConfigure {
public:
    /* Creates the option and type-parser arrays and registers the built-in
     * parser under the eight built-in type names.  Throws (const char *)
     * "KOCOnfigure: newarr(configure_specs_arr) error.\n" or
     * "KOCOnfigure: newarr(type_parsers_arr) error.\n" if an array cannot be
     * made, or "KOCOnfigure: setarr(type_parsers_arr) error.\n" if a
     * built-in type cannot be registered; nothing is left allocated. */
    KOConfigure();
    /* Frees the registered option records and both arrays. */
    ~KOConfigure();
    KOConfigure(const KOConfigure &) = delete;
    KOConfigure &operator=(const KOConfigure &) = delete;

    /* Registers (or replaces) the parser of a type name.  0, or -1 with a
     * message when the name or the parser is null or cannot be stored. */
    int addTypeParser(const char *type_name, KO_TypeParserProc *proc);

    /* Registers a table of option entries (up to its "end" entry) for the
     * client record paramRec, under class_name (copied; may be null), and
     * applies the table's defaults.  An entry whose type has no parser is
     * reported at once ("KOConfigure::setConfigureSpecs: Cannot find parser
     * for type '%s' for name '%s'\n") and skipped; an entry whose name is
     * registered already replaces the earlier one.  paramRec may be null
     * for a table whose options are all "custom" (their procedures receive
     * it as given); a built-in type refuses to store without a record.  0, or
     * -1 with a message ("KOConfigure::setConfigureSpecs:
     * this->configure(default) error." when a default cannot be applied). */
    int setConfigureSpecs(KO_ConfigureSpec *configureSpecs, char *paramRec, const char *class_name);

    /* Applies the parameters of a parameter file to the registered options
     * (defaults are not applied).  0 when every parameter named a known
     * option, 2 when some did not (each such name is registered as a
     * message), -1 when a value could not be applied or a parameter is a
     * table or an array (messages registered). */
    int configure(Pf *params);
    /* Applies name and value pairs closed by a null name:
     *     obj.configure("dbname", "/data/ev1", (char *)0);
     * 0, 2 or -1 as above. */
    int configure(char *key1, ...);
    int configure(const char *key1, ...);
    /* The same with the rest of the list (first value onward) in args. */
    int vconfigure(char *key1, va_list args);

    /* Applies one table's defaults (flags bit 1) and then the parameters of
     * params (may be null) to the table's options in paramRec.  0, 2 or -1.
     * Every configure operation first clears KO_CONFIGURE_CHANGED in the
     * options it covers, so afterwards the bits tell what that call
     * changed. */
    int configurePf(KO_ConfigureSpec *specs, Pf *params, char *paramRec, int flags);
    /* The same over all registered options, defaults in option-name order. */
    int configurePf(Pf *params, int flags);
    /* The worker of the name-value forms: key1 is the first name, args holds
     * its value and the further pairs.  0, 2 or -1. */
    int configureVarargs(char *key1, va_list args);

    Arr *configure_specs_arr; /* option name -> KOConfigureSpecs * */
    Arr *type_parsers_arr;    /* type name -> KO_TypeParserProc * */
};

#endif

// The handle-tag registry that every object family instantiates once.
//
// A family keeps its objects under short tags ("grid0", "vect3", ...) that are
// issued from a counter that only grows, so a tag is never reused in the life
// of the process.  The family's messages stay its own: every call takes the
// reporting function's name, and lookups take the family's plural word.
//
//   static KORegistry kogrid_reg("grid%d", KORegistry::COUNT_THEN_INCREMENT, "grids");
//   kogrid_reg.add("kogrid_register_grid", grid, handle);
//   KOGrid *g = (KOGrid *)kogrid_reg.get("kogrid_get_grid", handle);
//
// Not locked: a family's objects are used from one thread at a time.
#ifndef VELKUTIL_KOREGISTRY_PVT_H
#define VELKUTIL_KOREGISTRY_PVT_H

#include <cstddef>

#include "arrays.h"
#include "stock.h"

class KORegistry {
public:
    enum Counting { COUNT_THEN_INCREMENT, INCREMENT_THEN_COUNT };

    // prefix: the tag pattern with one %d; plural: the word of "No %s defined";
    // ident/ident_width: when set, objects carry this ident in their first
    // ident_width bytes and lookups check it.
    KORegistry(const char *prefix, Counting counting, const char *plural, const char *ident = nullptr,
               size_t ident_width = 0)
        : prefix_(prefix), counting_(counting), plural_(plural), ident_(ident), ident_width_(ident_width) {}

    KORegistry(const KORegistry &) = delete;
    KORegistry &operator=(const KORegistry &) = delete;

    // Registers obj under a new tag written into handle.  With no registry
    // yet it is created first; failing that "<fname>: newarr() error.\n" is
    // registered and -1 returned.  When the entry cannot be stored (out of
    // memory) "<fname>: setarr() error.\n" (flag 1) follows setarr's own
    // message, handle is emptied, nothing is registered and -1 returned; the
    // caller still owns obj.  The tag is spent either way.
    int add(const char *fname, void *obj, char *handle);

    // Creates the registry if absent (the families that create it before
    // allocating); 0 or -1 with "<fname>: newarr() error.\n".
    int ensure(const char *fname, int flag = 0);

    // The registered object, or null with "<fname>: No <plural> defined",
    // "<fname>: Cannot find <handle>" or "<fname>: Wrong ident for <handle>".
    // A null plural uses the registry's own word.
    void *get(const char *fname, const char *handle, const char *plural = nullptr) const;

    // Looks up quietly: no message either way.
    void *find(const char *handle) const;

    // Removes the entry of handle and returns its object (null if none).
    void *remove(const char *handle);
    // Removes the entry that holds obj (for objects that do not keep their tag).
    int remove_object(const void *obj);

    // Strict free: unknown tags register the lookup messages under fname and
    // give -1; otherwise the entry is removed, release(obj) called, 0 returned.
    int free_strict(const char *fname, const char *handle, void (*release)(void *), const char *plural = nullptr);
    // Silent free: an unknown tag frees nothing and leaves the error register
    // as it was; always 0.
    int free_silent(const char *fname, const char *handle, void (*release)(void *));
    // Frees every object whose label (label_of(obj), may be null) equals label,
    // walking a fresh key list after each free.  Always 0.
    int free_by_label(const char *label, const char *(*label_of)(const void *), void (*release)(void *));

    Arr *array() const { return arr_; }
    long counter() const { return counter_; }
    // Moves the counter forward (tests of long-running programs).
    void advance_counter(long to) { if (to > counter_) counter_ = to; }

private:
    bool ident_ok(const void *obj) const;

    const char *prefix_;
    Counting counting_;
    const char *plural_;
    const char *ident_;
    size_t ident_width_;
    Arr *arr_ = nullptr;
    long counter_ = 0;
};

#endif

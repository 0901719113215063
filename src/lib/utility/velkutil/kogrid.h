/*
 * kogrid.h -- sample grids: stacks of two-dimensional fields of float values
 * on a rectilinear X-Y mesh, one field per time sample.  Grids are filled
 * (plainly or with peak-hold decimation in time), kept with ascending axes,
 * evaluated at arbitrary points, moved through big-endian packets and framed
 * descriptor streams, and read at distance-azimuth points through a
 * travel-time slowness table.  Registered grids are addressed by handle tags
 * "grid0", "grid1", ...
 */
#ifndef VELKUTIL_KOGRID_H
#define VELKUTIL_KOGRID_H

#include "stock.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KOGRID_NPARAMS 20

/* The value of time sample s, Y node j, X node i is
 * data[(s * nygrid + j) * nxgrid + i]. */
typedef struct kogrid_ {
    char *tag;          /* caller's grouping label (kogrid_free_tag) */
    char *grid_type;
    int nxgrid;
    float *xgrid_coords;
    char *xgrid_type;
    char *xgrid_units;
    int nygrid;
    float *ygrid_coords;
    char *ygrid_type;
    char *ygrid_units;
    int nsamps;         /* time samples held in data */
    double time;        /* epoch time of the first sample */
    double dt;          /* sample interval; 0 for a single-sample grid */
    float *data;
    float gap_value;    /* marker of a missing value */
    int data_size;      /* floats in data: nsamps * nygrid * nxgrid */
    char *data_type;
    char *data_units;
    double params[KOGRID_NPARAMS]; /* caller-defined, carried by copies and packets */
} KOGrid;

/* ---------------------------------------------------------------- model */

KOGrid *kogrid_create(const char *grid_type, long nxgrid, const float *xgrid_coords, const char *xgrid_type,
                      const char *xgrid_units, long nygrid, const float *ygrid_coords, const char *ygrid_type,
                      const char *ygrid_units, const char *data_type, const char *data_units, const char *tag,
                      char *handle);
int kogrid_register_grid(KOGrid *grid, char *handle);
KOGrid *kogrid_get_grid(const char *handle);
/* A copy of a registered grid, registered under a new tag in handle once it
 * is whole: a copy that fails (with its message) leaves nothing registered. */
KOGrid *kogrid_copy(const char *in_handle, const char *tag, char *handle);
void kogrid_free_kogrid(KOGrid *grid);
int kogrid_free(const char *handle);
int kogrid_free_tag(const char *tag);

int kogrid_put(const char *handle, double time, long nsamps, double dt, const float *data);
int kogrid_put_kogrid(KOGrid *grid, double time, long nsamps, double dt, const float *data);
int kogrid_putanddecimate(const char *handle, double time, long nsamps, double dt, const float *data,
                          long decimation);
int kogrid_putanddecimate_kogrid(KOGrid *grid, double time, long nsamps, double dt, const float *data,
                                 long decimation);
int kogrid_order(KOGrid *grid);

/* interp_mode "bilinear" or "block"; extrap_mode "none".  *out (may be null)
 * is grown to nxys floats when needed and *out_size updated. */
int kogrid_eval(const char *handle, long isamp, long nxys, const float *x, const float *y, const char *interp_mode,
                const char *extrap_mode, float **out, long *out_size);
int kogrid_eval_kogrid(KOGrid *grid, long isamp, long nxys, const float *x, const float *y,
                       const char *interp_mode, const char *extrap_mode, float **out, long *out_size);
int kogrid_maxmin(const char *handle, long isamp, float *xmin, float *xmax, float *ymin, float *ymax, float *zmin,
                  float *zmax);
int kogrid_maxmin_kogrid(KOGrid *grid, long isamp, float *xmin, float *xmax, float *ymin, float *ymax, float *zmin,
                         float *zmax);
/* Locates coord on an ascending axis: -1 below, 0 on, 1 above it. */
int kogrid_find_interval(float coord, int ncoords, const float *coords, int *i0, int *i1, float *min, float *d);

/* -------------------------------------------------------------- packets
 * A packet: nxgrid, nygrid, nsamps (32-bit), time, dt, params (64-bit
 * floats), X and Y coordinates and data (32-bit floats), all big-endian,
 * then tag, grid_type, xgrid_type, xgrid_units, ygrid_type, ygrid_units,
 * data_type, data_units, each closed by a NUL byte.  On a descriptor each
 * packet is preceded by its length as a 4-byte integer in host order. */

int kogrid_stuff(const char *handle, char **packet, int *nbytes, int *packetsz);
int kogrid_stuff_kogrid(KOGrid *grid, char **packet, int *nbytes, int *packetsz);
int kogrid_unstuff(const char *packet, int nbytes, KOGrid **grid);
int kogrid_write_fd_kogrid(KOGrid *grid, int fd);
/* The packet length (> 0), 0 at end of input, or -1. */
int kogrid_read_fd(int fd, KOGrid **grid);

/* ------------------------------------------------- distance to slowness
 * Slowness of the earliest arrival of the phase list (default "P") for a
 * distance in degrees, in the travel-time calculator's units (seconds per
 * km), from a table of 0.001-degree steps built on the first request and
 * reused by every later one, whatever model, phases or depth it names; -1
 * where there is no arrival or the distance is outside 0 to 180 degrees. */

int kogrid_d2slow(const char *method, const char *model, const char *phase_code, double sdepth, double relev,
                  double distance, double *slowness);
/* Turns distances (xcoords) and azimuths (ycoords, degrees clockwise from
 * north) into east and north slowness components, in place. */
int kogrid_coords_d2slow(long nds, float *xcoords, float *ycoords, const char *method, const char *model,
                         const char *phase_code, float sdepth, float gap_value);
int kogrid_eval_d2slow(const char *handle, long isamp, long nds, const float *distances, const float *azimuths,
                       const char *method, const char *model, const char *phase_code, double sdepth,
                       const char *interp_mode, const char *extrap_mode, float **out, long *out_size);
int kogrid_eval_d2slow_kogrid(KOGrid *grid, long isamp, long nds, const float *distances, const float *azimuths,
                              const char *method, const char *model, const char *phase_code, double sdepth,
                              const char *interp_mode, const char *extrap_mode, float **out, long *out_size);

#ifdef __cplusplus
}
#endif

#endif

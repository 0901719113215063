/*
 * response.h -- instrument responses: reading response files made of
 * stages, and evaluating the complex response at a frequency.
 *
 * A response is a cascade of stages; its value at a frequency is the product
 * of the stages' values.  Failures register a message in the calling
 * thread's error register (elog_log) and return -1; nothing prints and
 * nothing aborts on bad input.
 *
 * ------------------------------------------------------------------ file format
 *
 * Text, read line by line (lines up to 4095 characters).  A "#" starts a
 * comment that runs to the end of its line; comment lines and blank lines
 * are ignored anywhere, before, between and inside stages.  Numbers are decimal floating-point numbers as strtod reads
 * them ("1.5e-3"); they must be finite.  Fields are separated by blanks or
 * tabs, and every line must hold exactly the fields given below.
 *
 * The file is one or more stages, each a header line followed by its body:
 *
 *   type stage auth rtype [source]
 *
 *   type   a word naming the kind of stage ("theoretical", "measured", ...),
 *          kept but not interpreted;
 *   stage  the stage number, an integer, kept;
 *   auth   a word naming the author or source, kept;
 *   rtype  "paz", "fap", "fap2", "fir" or "delay": the body that follows;
 *   source optional: where the stage came from (for example the name of the
 *          file it was made from), kept; the rest of the line, its words
 *          joined by one blank, at most 255 characters.
 *   Each of the first four words is at most 63 characters.
 *
 * "paz" -- poles and zeros of the Laplace transform, in radians per second:
 *
 *   a0 fnorm                 normalisation factor, and the frequency (Hz) at
 *                            which it normalises the stage (kept, not applied;
 *                            the line may hold a0 alone: fnorm is then 0)
 *   npoles                   number of poles (an integer, 0 or more)
 *   re im [re_err im_err]    one line per pole
 *   nzeros                   number of zeros
 *   re im [re_err im_err]    one line per zero
 *
 *   H(f) = a0 * prod(s - zero) / prod(s - pole),  s = 2 pi i f.
 *
 * "fap" -- a table of frequency, amplitude and phase:
 *
 *   n                        number of rows (at least 1)
 *   freq amp phase           one line per row, or
 *   freq amp phase amp_err phase_err
 *                            with the amplitude and phase errors (kept, not
 *                            used); every row of a table has the columns of
 *                            its first row
 *
 * "fap2" -- the same with bounds on amplitude and phase:
 *
 *   n
 *   freq amp phase amph ampl phh phl
 *
 *   freq in Hz (0 or more, strictly increasing down the table), amp the
 *   amplitude, phase in degrees; amph/ampl and phh/phl are the upper and
 *   lower bounds of amplitude and phase, kept but not used in evaluation.
 *   (The same tables and column meanings as the plot-vector response
 *   loaders read.)  Between rows, amplitude and phase are interpolated
 *   linearly in frequency, the phase the short way round (rows at 170 and
 *   -170 degrees give 180 half way).  Outside the table the nearest row's
 *   values hold, and eval_response reports it (result 1).
 *
 * "fir" -- a digital filter stage (finite, or with a denominator, infinite
 * impulse response):
 *
 *   srate decimation         input sample rate (samples per second, > 0) and
 *                            decimation factor (an integer, 1 for none; kept);
 *                            or srate alone (decimation 1)
 *   nnum                     number of numerator coefficients (at least 1)
 *   coef [err]               one line per coefficient, b0 first
 *   nden                     number of denominator coefficients (0 for FIR)
 *   coef [err]               one line per coefficient, a0 first
 *
 *   H(f) = sum b_k z^-k / sum a_k z^-k,  z = exp(2 pi i f / srate);
 *   with no denominator the sum below is 1.
 *
 * "delay" -- a pure delay (a phase shift that grows with frequency):
 *
 *   seconds                  the delay (negative: an advance)
 *
 *   H(f) = exp(-2 pi i f seconds).
 *
 * Example: a seismometer (one stage of poles and zeros, velocity in,
 * volts out) followed by a two-tap averaging filter at 100 samples/s.
 *
 *   # sensor
 *   theoretical 1 acme paz
 *   1.0 1.0
 *   2
 *   -4.443 4.443
 *   -4.443 -4.443
 *   2
 *   0 0
 *   0 0
 *   theoretical 2 acme fir
 *   100 1
 *   2
 *   0.5
 *   0.5
 *   0
 *
 * The same in the shape data centres publish files (comments between the
 * lines, a source after the type, a0 alone, coefficients with their
 * errors, the input rate alone), with the digitiser's delay:
 *
 *   #  sensor and digitiser of XYZ BHZ
 *   theoretical  1  acme  paz   XYZ.BHZ.pazfir
 *   #  normalization factor
 *    1.0
 *    2
 *    -4.443  4.443  0  0
 *    -4.443 -4.443  0  0
 *    2
 *    0 0 0 0
 *    0 0 0 0
 *   theoretical  2  acme  fir   XYZ.BHZ.pazfir
 *   #  input sample rate
 *    100
 *    2
 *   #  coefficient  error
 *    0.5  0
 *    0.5  0
 *    0
 *   theoretical  3  acme  delay XYZ.BHZ.pazfir
 *    0.005
 */
#ifndef HOSTKIT_RESPONSE_H
#define HOSTKIT_RESPONSE_H

#include <stdio.h>

#ifdef __cplusplus
extern "C" {
#endif

enum { RESPONSE_PAZ = 1, RESPONSE_FAP = 2, RESPONSE_FAP2 = 3, RESPONSE_FIR = 4, RESPONSE_DELAY = 5 };

typedef struct ResponseStage {
    char type[64];   /* header fields as read */
    int stage;
    char auth[64];
    char rtype[8];   /* "paz", "fap", "fap2", "fir" or "delay" */
    int kind;        /* RESPONSE_PAZ ... RESPONSE_DELAY */

    /* paz: complex values as (re, im) pairs; errors 0 when not given */
    double a0, fnorm;
    int npoles, nzeros;
    double *poles, *pole_errors;  /* 2 * npoles doubles each */
    double *zeros, *zero_errors;  /* 2 * nzeros doubles each */

    /* fap, fap2: nfap rows; the bound columns only for fap2 (else null) */
    int nfap;
    double *freq, *amp, *phase;              /* phase in degrees */
    double *amp_high, *amp_low, *phase_high, *phase_low;

    /* fir */
    double srate;
    int decimation;
    int nnum, nden;
    double *num, *num_errors;  /* nnum doubles each */
    double *den, *den_errors;  /* nden doubles each (null when nden is 0) */

    /* the header's source field ("" when the header has none) */
    char source[256];
    /* fap with error columns: nfap doubles each (else null) */
    double *amp_error, *phase_error;
    /* delay: seconds */
    double delay;
} ResponseStage;

typedef struct Response {
    int nstages;
    ResponseStage *stages;  /* in file order */
} Response;

/* Reads a whole response file from fp (to its end).  On success *response
 * is a new response (free_response) and 0 is returned; on failure *response
 * is null, a message names the line and what was wrong, and -1 is returned. */
int read_response(FILE *fp, Response **response);

/* The complex response at a frequency in Hz (a negative frequency gives the
 * complex conjugate of the positive one).  0 on success; 1 when a fap/fap2
 * table had to be extended beyond its ends (the values are still given);
 * -1 with a message when the arguments are bad or the frequency is at a
 * pole (the response is infinite there). */
int eval_response(Response *response, double frequency, double *real, double *imag);

/* Releases a response and everything it holds; null is ignored. */
void free_response(Response *response);

#ifdef __cplusplus
}
#endif

#endif

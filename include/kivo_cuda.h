/*
 * kivo_cuda: image-quality metrics on CUDA devices, through a flat C interface.
 *
 * Every compute call takes device pointers owned by the caller, enqueues its kernels on the caller's stream
 * and returns a status: 0 means the work was enqueued (results are valid once the stream reaches it),
 * 1 to 5 are argument errors reported before anything is enqueued, and a negative value is a negated CUDA
 * runtime error. The library allocates nothing, copies nothing and never synchronises.
 *
 * Images are planar: `batch` x `channels` planes of `height` x `width` samples, rows contiguous, plane
 * p = image * channels + channel. `long` is a 64-bit signed integer.
 */
#ifndef KIVO_CUDA_H
#define KIVO_CUDA_H

#if defined(__cplusplus)
extern "C" {
#endif

#if defined(KIVO_CUDA_BUILDING)
#define KIVO_CUDA_API __attribute__((visibility("default")))
#else
#define KIVO_CUDA_API
#endif

/* ABI versioning: entries are only ever added. An existing entry keeps its signature and its results for
 * every input it accepted; a new ability comes as a new entry, and KIVO_CUDA_ABI_VERSION grows by one with each
 * release that adds entries. A caller that needs the entries of version N checks kivo_cuda_abi_version() >= N.
 * Version 2 adds the SSIM entries with options (kivo_cuda_ssim_options); version 3 the fused SSIM loss entries;
 * version 4 kivo_cuda_gmsd_luma. */
#define KIVO_CUDA_ABI_VERSION 4

/* A CUDA stream (the runtime's cudaStream_t); 0 is the default stream. */
typedef struct CUstream_st* kivo_cuda_stream_t;

/* Status codes. Negative values are negated cudaError_t values. */
enum kivo_cuda_status {
    KIVO_CUDA_SUCCESS = 0,
    KIVO_CUDA_UNSUPPORTED_DTYPE = 1,
    KIVO_CUDA_UNSUPPORTED_SHAPE = 2,
    KIVO_CUDA_UNSUPPORTED_WINDOW = 3,
    KIVO_CUDA_UNKNOWN_PIXEL_OP = 4,
    KIVO_CUDA_INVALID_ARGUMENT = 5,
    KIVO_CUDA_INTERNAL_ERROR = 6, /* reserved: never returned */
    KIVO_CUDA_NO_DEVICE = 7       /* reserved: never returned */
};

/* Element type of both images of a call. */
enum kivo_cuda_dtype {
    KIVO_CUDA_DTYPE_U8 = 0,   /* unsigned 8-bit, processed as 0..255 */
    KIVO_CUDA_DTYPE_F16 = 1,  /* IEEE binary16 */
    KIVO_CUDA_DTYPE_BF16 = 2, /* bfloat16 */
    KIVO_CUDA_DTYPE_F32 = 3,
    KIVO_CUDA_DTYPE_F64 = 4
};

/* Per-sample terms of kivo_cuda_pixel_reduce, with d = x - y and p = op_param. */
enum kivo_cuda_pixel_op {
    KIVO_CUDA_PIXEL_SQUARED = 0,     /* d^2 */
    KIVO_CUDA_PIXEL_ABSOLUTE = 1,    /* |d| */
    KIVO_CUDA_PIXEL_CHARBONNIER = 2, /* sqrt(d^2 + p) */
    KIVO_CUDA_PIXEL_HUBER = 3        /* d^2 / 2 if |d| < p, else p (|d| - p / 2) */
};

/* Which windows the SSIM entries that take kivo_cuda_ssim_options evaluate. VALID: the windows that lie inside
 * the image, (height - win + 1) x (width - win + 1) per plane. The others: one window centred on every pixel,
 * height x width per plane, with the samples outside the image (up to (win - 1) / 2 = r on each side) given by
 * the mode, shown here for a row a b c d:
 *   ZEROS      0 0 | a b c d | 0 0    (each axis at least 1 sample)
 *   REFLECT    c b | a b c d | c b    (the edge is not repeated; each axis more than r samples)
 *   REPLICATE  a a | a b c d | d d    (each axis at least 1 sample)
 *   SYMMETRIC  b a | a b c d | d c    (the edge is repeated; each axis at least r samples)
 * A smaller image gives KIVO_CUDA_UNSUPPORTED_SHAPE. In the gradients, a sample outside the image that copies
 * a pixel passes its gradient on to that pixel; zeros pass none. */
enum kivo_cuda_padding {
    KIVO_CUDA_PAD_VALID = 0,
    KIVO_CUDA_PAD_ZEROS = 1,
    KIVO_CUDA_PAD_REFLECT = 2,
    KIVO_CUDA_PAD_REPLICATE = 3,
    KIVO_CUDA_PAD_SYMMETRIC = 4
};

/* Options of the SSIM entries whose names end in _ex. A null pointer means { KIVO_CUDA_PAD_VALID, 1.0 }, with
 * which every _ex entry gives the bits of its counterpart without the suffix. */
typedef struct kivo_cuda_ssim_options {
    int padding;              /* a kivo_cuda_padding; another value gives KIVO_CUDA_INVALID_ARGUMENT */
    double covariance_factor; /* multiplies both variances and the covariance: 1 population, NP / (NP - 1)
                                 sample (NP = win^2); finite and positive, else KIVO_CUDA_INVALID_ARGUMENT */
} kivo_cuda_ssim_options;

/* log_offset value that asks kivo_cuda_pixel_reduce for no decibel outputs. */
#define KIVO_CUDA_NO_DECIBELS (-1e300)

/* ---- Frame ------------------------------------------------------------------------------------------ */

/* Returns KIVO_CUDA_ABI_VERSION. */
KIVO_CUDA_API int kivo_cuda_abi_version(void);

/* A static text for any status: the library's own, or the CUDA runtime's for a negative one. Never null. */
KIVO_CUDA_API const char* kivo_cuda_error_string(int status);

/* Number of CUDA devices; on a runtime error stores 0 and returns the negated error. out_count may be null. */
KIVO_CUDA_API int kivo_cuda_device_count(int* out_count);

/* ---- Pixel errors ------------------------------------------------------------------------------------ */

/* Thread blocks per plane for kivo_cuda_pixel_reduce; the workspace holds planes x *out_blocks doubles. */
KIVO_CUDA_API int kivo_cuda_pixel_workspace(long planes, long plane_size, int device, int* out_blocks);

/* Mean per-sample error of each plane (out_plane) and of all planes (out_all), and for a log_offset other
 * than KIVO_CUDA_NO_DECIBELS also log_offset - 10 log10(mean) (out_log_plane, out_log_all): with op 0 and
 * log_offset = 10 log10(peak^2) that is the PSNR. Every output may be null. */
KIVO_CUDA_API int kivo_cuda_pixel_reduce(const void* x, const void* y, int dtype, long planes, long plane_size,
                                         int op, double op_param, double log_offset, double* partials,
                                         int blocks, double* out_plane, double* out_all, double* out_log_plane,
                                         double* out_log_all, int device, kivo_cuda_stream_t stream);

/* ---- SSIM --------------------------------------------------------------------------------------------- */

/* Workspace slots (doubles) per plane for kivo_cuda_ssim and kivo_cuda_ssim_cs: one per 32 x 64 windows. */
KIVO_CUDA_API int kivo_cuda_ssim_workspace(int height, int width, int win, int* out_tiles);

/* Mean SSIM over the valid windows of each image (out_image, batch values) and of the batch (out_batch),
 * with an optional per-window map (planes x (height - win + 1) x (width - win + 1) floats). `window` holds
 * `win` float weights applied along rows and columns; c1, c2 and shift are in sample units. */
KIVO_CUDA_API int kivo_cuda_ssim(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                 int width, double shift, double c1, double c2, const float* window, int win,
                                 float* ssim_map, double* partials, int tiles, double* out_image,
                                 double* out_batch, int device, kivo_cuda_stream_t stream);

/* Mean SSIM and mean contrast-structure term of each plane (out_ssim, out_cs: planes values each). */
KIVO_CUDA_API int kivo_cuda_ssim_cs(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                    int width, double shift, double c1, double c2, const float* window, int win,
                                    double* partials, double* partials_cs, int tiles, double* out_ssim,
                                    double* out_cs, int device, kivo_cuda_stream_t stream);

/* ---- SSIM gradients (float32 images) -------------------------------------------------------------------- */

/* Gradient of the SSIM map weighted by grad_map, or, when grad_map is null, of grad_mean[0] x the batch-mean
 * SSIM, with respect to x (grad_x) and/or y (grad_y). `stats` is scratch of 3 x planes x Ho x Wo floats, or
 * 4 x planes x Ho x Wo when grad_y is given. */
KIVO_CUDA_API int kivo_cuda_ssim_backward(const float* x, const float* y, const float* grad_map,
                                          const float* grad_mean, const float* window, int win, int batch,
                                          int channels, int height, int width, double shift, double c1,
                                          double c2, float* stats, float* grad_x, float* grad_y, int device,
                                          kivo_cuda_stream_t stream);

/* Gradient of sum over planes of grad_ssim[p] x mean SSIM(p) + grad_cs[p] x mean cs(p). */
KIVO_CUDA_API int kivo_cuda_ssim_cs_backward(const float* x, const float* y, const float* grad_ssim,
                                             const float* grad_cs, const float* window, int win, int batch,
                                             int channels, int height, int width, double shift, double c1,
                                             double c2, float* stats, float* grad_x, float* grad_y, int device,
                                             kivo_cuda_stream_t stream);

/* ---- SSIM with options (ABI version 2) ------------------------------------------------------------------- */

/* The entries above with a kivo_cuda_ssim_options (null for the defaults). Window counts, map shapes and the
 * means follow the padding: Ho x Wo = height x width per plane for every mode but VALID. */
KIVO_CUDA_API int kivo_cuda_ssim_workspace_ex(int height, int width, int win, const kivo_cuda_ssim_options* options,
                                              int* out_tiles);

KIVO_CUDA_API int kivo_cuda_ssim_ex(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                    int width, double shift, double c1, double c2, const float* window, int win,
                                    const kivo_cuda_ssim_options* options, float* ssim_map, double* partials,
                                    int tiles, double* out_image, double* out_batch, int device,
                                    kivo_cuda_stream_t stream);

KIVO_CUDA_API int kivo_cuda_ssim_cs_ex(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                       int width, double shift, double c1, double c2, const float* window, int win,
                                       const kivo_cuda_ssim_options* options, double* partials,
                                       double* partials_cs, int tiles, double* out_ssim, double* out_cs, int device,
                                       kivo_cuda_stream_t stream);

/* Floats of the `stats` scratch that the _ex backward entries need (with_grad_y: grad_y will be given). */
KIVO_CUDA_API int kivo_cuda_ssim_backward_scratch_ex(int batch, int channels, int height, int width, int win,
                                                     const kivo_cuda_ssim_options* options, int with_grad_y,
                                                     long* out_floats);

KIVO_CUDA_API int kivo_cuda_ssim_backward_ex(const float* x, const float* y, const float* grad_map,
                                             const float* grad_mean, const float* window, int win, int batch,
                                             int channels, int height, int width, double shift, double c1,
                                             double c2, const kivo_cuda_ssim_options* options, float* stats,
                                             float* grad_x, float* grad_y, int device, kivo_cuda_stream_t stream);

KIVO_CUDA_API int kivo_cuda_ssim_cs_backward_ex(const float* x, const float* y, const float* grad_ssim,
                                                const float* grad_cs, const float* window, int win, int batch,
                                                int channels, int height, int width, double shift, double c1,
                                                double c2, const kivo_cuda_ssim_options* options, float* stats,
                                                float* grad_x, float* grad_y, int device,
                                                kivo_cuda_stream_t stream);

/* ---- Fused SSIM loss (ABI version 3) ---------------------------------------------------------------------- */

/* A training loss built from the mean SSIM and the mean pixel error of each image, such as
 * (1 - w) mean |x - y| + w (1 - SSIM), computed in two kernels: the forward entry reads both images once for
 * both means (and, when `coefficients` is given, writes the derivatives of every window's SSIM), the backward
 * entry writes the gradients from them. Images of float32, float16 or bfloat16 (KIVO_CUDA_UNSUPPORTED_DTYPE for
 * the others); the arithmetic is float32 and the gradients are stored in the images' type. Windows, options and
 * SSIM values as in kivo_cuda_ssim_ex (its mean SSIM bits); the pixel error is the kivo_cuda_pixel_op term of
 * d = x - y with op_param (KIVO_CUDA_UNKNOWN_PIXEL_OP for another op), averaged over the channels x height x
 * width samples of each image. */

/* Floats of the `coefficients` scratch (8-byte aligned): 3 x planes x Ho x Wo, or 4 x planes x Ho x Wo when the
 * backward pass will be asked for grad_y. */
KIVO_CUDA_API int kivo_cuda_ssim_loss_scratch(int batch, int channels, int height, int width, int win,
                                              const kivo_cuda_ssim_options* options, int with_grad_y,
                                              long* out_floats);

/* Mean SSIM and mean pixel error of each image (out_ssim, out_pixel: batch values) and of the batch
 * (out_ssim_batch, out_pixel_batch); every output may be null. `partials` holds 2 x planes x tiles doubles,
 * tiles from kivo_cuda_ssim_workspace_ex. With `coefficients` (null: none, the cheaper evaluation pass) it also
 * writes the coefficients that kivo_cuda_ssim_loss_backward reads, those of grad_y too when with_grad_y. */
KIVO_CUDA_API int kivo_cuda_ssim_loss_forward(const void* x, const void* y, int dtype, int batch, int channels,
                                              int height, int width, double shift, double c1, double c2,
                                              const float* window, int win, const kivo_cuda_ssim_options* options,
                                              int pixel_op, double op_param, double* partials, int tiles,
                                              double* out_ssim, double* out_pixel, double* out_ssim_batch,
                                              double* out_pixel_batch, float* coefficients, int with_grad_y,
                                              int device, kivo_cuda_stream_t stream);

/* Gradient of sum over images n of grad_ssim[n] x mean SSIM(n) + grad_pixel[n] x mean pixel error(n) with
 * respect to x (grad_x) and/or y (grad_y), in the images' type, from the coefficients of the forward entry
 * called with the same images, shape, window and options (with with_grad_y when grad_y is given). grad_ssim and
 * grad_pixel hold batch floats each; for the batch means, give each image the batch gradient / batch. */
KIVO_CUDA_API int kivo_cuda_ssim_loss_backward(const void* x, const void* y, int dtype, int batch, int channels,
                                               int height, int width, double shift, const float* window, int win,
                                               const kivo_cuda_ssim_options* options, int pixel_op, double op_param,
                                               const float* coefficients, const float* grad_ssim,
                                               const float* grad_pixel, void* grad_x, void* grad_y, int device,
                                               kivo_cuda_stream_t stream);

/* ---- GMSD ------------------------------------------------------------------------------------------------ */

/* Workspace slots (doubles, per quantity) per plane for kivo_cuda_gmsd: one per 32 x 32 GMS values. */
KIVO_CUDA_API int kivo_cuda_gmsd_workspace(int height, int width, int downsample, int* out_tiles);

/* Mean gradient magnitude similarity (out_mean) and its population deviation, the GMSD (out_gmsd), of each
 * image, optionally after 2 x 2 average downsampling. */
KIVO_CUDA_API int kivo_cuda_gmsd(const void* x, const void* y, int dtype, int batch, int channels, int height,
                                 int width, int downsample, double c, double eps, double* partials,
                                 double* partials_sq, int tiles, double* out_mean, double* out_gmsd, int device,
                                 kivo_cuda_stream_t stream);

/* kivo_cuda_gmsd of 3-channel (R, G, B) images on their BT.601 luma (ABI version 4): each image's three planes
 * make one plane of Y = 0.299 R + 0.587 G + 0.114 B, formed per sample as (0.299 R + 0.587 G) + 0.114 B with
 * every product and sum rounded to float32 (to float64 for float64 images, then to float32 as their samples
 * are), before the downsampling. The result is that of kivo_cuda_gmsd on such a luma plane, and the workspace
 * that of one plane per image: batch x tiles slots per quantity. */
KIVO_CUDA_API int kivo_cuda_gmsd_luma(const void* x, const void* y, int dtype, int batch, int height, int width,
                                      int downsample, double c, double eps, double* partials, double* partials_sq,
                                      int tiles, double* out_mean, double* out_gmsd, int device,
                                      kivo_cuda_stream_t stream);

#if defined(__cplusplus)
}
#endif

#endif /* KIVO_CUDA_H */

/* Internal helpers of the support library. */
#ifndef LIBKFX_UTIL_KFX_INTERNAL_H
#define LIBKFX_UTIL_KFX_INTERNAL_H

#include <cstdarg>
#include <cstddef>

#define KFX_EXPORT __attribute__((visibility("default")))

/* Formats into buf (bufsz bytes, always terminated) and returns the
 * characters actually stored; bufsz 0 writes nothing. */
int vscnprintf(char *buf, size_t bufsz, const char *format, va_list args);
int scnprintf(char *buf, size_t bufsz, const char *format, ...)
        __attribute__((format(printf, 3, 4)));

struct kfx_lstr;
struct libkfx_ioctl_data;

/* Bytes of a packed data record: the record and both inline areas, each
 * rounded up to 8 bytes. */
size_t libkfx_ioctl_packlen(const struct libkfx_ioctl_data *data);

struct kfx_range_expr;

/* One token of an expression list into a new range; -EINVAL or -ENOMEM. */
int kfx_range_expr_parse(struct kfx_lstr *src, unsigned int min,
                         unsigned int max, int bracketed,
                         struct kfx_range_expr **expr);
/* One range in its printed form; returns the characters written. */
int kfx_range_expr_print(char *buffer, int count, struct kfx_range_expr *expr,
                         bool bracketed);

#endif

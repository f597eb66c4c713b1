/* SPDX-License-Identifier: LGPL-2.1-or-later */
/*
 * Text toolkit of the support library: a tokenizer over counted pieces of
 * text, a bounded number conversion, numeric expression lists such as
 * 7, * or [1,3-5,8-20/4], and absolute paths.
 *
 * Every function returns 0 (or the count it names) on success and a
 * negative errno value on failure; nothing is printed. Records are heap
 * blocks released with free() through the calls named below.
 */
#ifndef LIBKFX_UTIL_STRING_H
#define LIBKFX_UTIL_STRING_H

#include <libkfx/list.h>
#include <linux/types.h>

#ifdef __cplusplus
extern "C" {
#endif

/* A borrowed, counted piece of text; not NUL-terminated, never owned. */
struct kfx_lstr {
	char *ls_str; /* NULL once the tokenizer took the last token */
	int ls_len;
};

/* lo, lo + stride, ... up to hi inclusive; lo > hi is the empty set. */
struct kfx_range_expr {
	struct list_head re_link;
	__u32 re_lo;
	__u32 re_hi;
	__u32 re_stride;
};

/* One expression list; el_link chains lists into a list of lists and is
 * zero in a newly parsed list. */
struct kfx_expr_list {
	struct list_head el_link;
	struct list_head el_exprs; /* kfx_range_expr, in written order */
};

/* Takes the next token of *next up to delim, whitespace trimmed, into
 * *res; 1 when a token was produced, 0 when none. */
int kfx_gettok(struct kfx_lstr *next, char delim, struct kfx_lstr *res);

/* 1 when the nob characters at str are one number (base 0, whitespace
 * around it allowed) within [min, max]; the number goes to *num. Numbers
 * that do not fit in 32 bits are refused. */
int kfx_str2num_check(const char *str, int nob, unsigned int *num,
                      unsigned int min, unsigned int max);

/* Parses len characters of str into a new list whose numbers lie within
 * [min, max]; *elpp is set only on success. -EINVAL or -ENOMEM. */
int kfx_expr_list_parse(const char *str, int len, unsigned int min,
                        unsigned int max, struct kfx_expr_list **elpp);

/* Prints the list in its parse form into buffer (count bytes, always
 * terminated unless nothing is written); returns the characters written. */
int kfx_expr_list_print(char *buffer, int count,
                        struct kfx_expr_list *expr_list);

/* 1 when value is a member of the list, else 0. */
int kfx_expr_list_match(__u32 value, struct kfx_expr_list *expr_list);

/* Expands the list into a new array (*valpp, released with
 * kfx_expr_list_values_free) and returns the number of values; 0 leaves
 * *valpp untouched; -EINVAL when there are more than max. */
int kfx_expr_list_values(struct kfx_expr_list *expr_list, int max,
                         __u32 **valpp);
void kfx_expr_list_values_free(__u32 *values, int num);

/* Frees a list and its ranges; el_link is not touched. */
void kfx_expr_list_free(struct kfx_expr_list *expr_list);
/* Frees every list chained on head through el_link; head stays. */
void kfx_expr_list_free_list(struct list_head *list);

/* Makes request_path absolute, resolving only its directory part, into a
 * new buffer (*resolved_path, released with free). */
int kfx_abs_path(const char *request_path, char **resolved_path);

#ifdef __cplusplus
}
#endif

#endif /* LIBKFX_UTIL_STRING_H */

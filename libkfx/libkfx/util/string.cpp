/* Tokenizer, bounded numbers, numeric expression lists and absolute paths. */
#include <libkfx/util/string.h>

#include "kfx_internal.h"

#include <zv/owners.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <unistd.h>

namespace
{

bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	       c == '\r';
}

/* Longest path handled, and the result buffer that holds it. */
constexpr size_t path_max = 4096;
constexpr size_t path_buf = path_max + 1;

/* Longest number text taken by kfx_str2num_check, leading zeros and all. */
constexpr int num_text_max = 128;

kfx_range_expr *new_range(__u32 lo, __u32 hi, __u32 stride)
{
	auto *e = static_cast<kfx_range_expr *>(
	        calloc(1, sizeof(kfx_range_expr)));
	if (e != nullptr) {
		e->re_lo = lo;
		e->re_hi = hi;
		e->re_stride = stride;
	}
	return e;
}

/* Members of one range; 64 bits hold the largest count exactly. */
uint64_t range_size(const kfx_range_expr *e)
{
	if (e->re_lo > e->re_hi)
		return 0;
	return (uint64_t(e->re_hi) - e->re_lo) / e->re_stride + 1;
}

} // namespace

int vscnprintf(char *buf, size_t bufsz, const char *format, va_list args)
{
	if (bufsz == 0)
		return 0;
	int len = vsnprintf(buf, bufsz, format, args);
	if (len < 0) {
		buf[0] = '\0';
		return 0;
	}
	return size_t(len) < bufsz ? len : int(bufsz - 1);
}

int scnprintf(char *buf, size_t bufsz, const char *format, ...)
{
	va_list args;
	va_start(args, format);
	int len = vscnprintf(buf, bufsz, format, args);
	va_end(args);
	return len;
}

KFX_EXPORT int kfx_gettok(struct kfx_lstr *next, char delim,
                          struct kfx_lstr *res)
{
	if (next->ls_str == nullptr || next->ls_len == 0)
		return 0;
	while (next->ls_len > 0 && is_space(*next->ls_str)) {
		next->ls_str++;
		next->ls_len--;
	}
	if (next->ls_len == 0)
		return 0;
	if (*next->ls_str == delim)
		return 0; /* an empty token */

	res->ls_str = next->ls_str;
	auto *sep =
	        static_cast<char *>(memchr(next->ls_str, delim, next->ls_len));
	if (sep != nullptr) {
		res->ls_len = sep - res->ls_str;
		next->ls_len -= sep - next->ls_str + 1;
		next->ls_str = sep + 1;
	} else {
		res->ls_len = next->ls_len;
		next->ls_str = nullptr;
		next->ls_len = 0;
	}
	while (res->ls_len > 1 && is_space(res->ls_str[res->ls_len - 1]))
		res->ls_len--;
	return 1;
}

KFX_EXPORT int kfx_str2num_check(const char *str, int nob, unsigned int *num,
                                 unsigned int min, unsigned int max)
{
	/* The piece is counted, not terminated: convert a terminated copy so
	 * that digits after it are never taken for part of the number. */
	char copy[num_text_max];
	int start = 0;
	while (start < nob && is_space(str[start]))
		start++;
	int stop = start;
	while (stop < nob && !is_space(str[stop]))
		stop++;
	for (int i = stop; i < nob; i++)
		if (!is_space(str[i]))
			stop = nob; /* junk after blanks: let the check fail */
	if (stop - start >= int(sizeof(copy)))
		return 0;
	memcpy(copy, str + start, stop - start);
	copy[stop - start] = '\0';

	char *end;
	errno = 0;
	unsigned long value = strtoul(copy, &end, 0);
	*num = static_cast<unsigned int>(value);
	if (end == copy)
		return 0;
	if (*end != '\0')
		return 0; /* text after the number within the piece */
	/* Cutting to the low 32 bits would accept a different number. */
	if (value > UINT_MAX || errno == ERANGE)
		return 0;
	return *num >= min && *num <= max;
}

namespace
{

/* The bounds of one token into e: "*", a number, or (bracketed only)
 * "lo-hi" or "lo-hi/stride". */
bool parse_bounds(struct kfx_lstr *src, unsigned int min, unsigned int max,
                  int bracketed, kfx_range_expr *e)
{
	if (src->ls_len == 1 && src->ls_str[0] == '*') {
		e->re_lo = min;
		e->re_hi = max;
		return true;
	}
	if (kfx_str2num_check(src->ls_str, src->ls_len, &e->re_lo, min, max)) {
		e->re_hi = e->re_lo;
		return true;
	}
	if (!bracketed)
		return false;
	kfx_lstr lo;
	if (!kfx_gettok(src, '-', &lo) || src->ls_str == nullptr ||
	    !kfx_str2num_check(lo.ls_str, lo.ls_len, &e->re_lo, min, max))
		return false;
	if (kfx_str2num_check(src->ls_str, src->ls_len, &e->re_hi, min, max))
		return true;

	kfx_lstr hi;
	if (!kfx_gettok(src, '/', &hi) || src->ls_str == nullptr ||
	    !kfx_str2num_check(hi.ls_str, hi.ls_len, &e->re_hi, min, max) ||
	    !kfx_str2num_check(src->ls_str, src->ls_len, &e->re_stride, min,
	                       max))
		return false;
	/* A zero step would never advance, nor divide. */
	return e->re_stride != 0;
}

} // namespace

int kfx_range_expr_parse(struct kfx_lstr *src, unsigned int min,
                         unsigned int max, int bracketed,
                         struct kfx_range_expr **expr)
{
	zv::unique_malloc<kfx_range_expr> e(new_range(0, 0, 1));
	if (!e)
		return -ENOMEM;
	if (!parse_bounds(src, min, max, bracketed, e.get()))
		return -EINVAL;
	*expr = e.release();
	return 0;
}

KFX_EXPORT int kfx_expr_list_parse(const char *str, int len, unsigned int min,
                                   unsigned int max,
                                   struct kfx_expr_list **elpp)
{
	if (str == nullptr || len <= 0)
		return -EINVAL;
	std::unique_ptr<kfx_expr_list, decltype(&kfx_expr_list_free)> list(
	        static_cast<kfx_expr_list *>(calloc(1, sizeof(kfx_expr_list))),
	        &kfx_expr_list_free);
	if (!list)
		return -ENOMEM;
	INIT_LIST_HEAD(&list->el_exprs);

	/* The tokenizer never writes through the piece it walks. */
	kfx_lstr src = {const_cast<char *>(str), len};
	int rc = 0;
	if (len >= 2 && str[0] == '[' && str[len - 1] == ']') {
		src.ls_str++;
		src.ls_len -= 2;
		do {
			kfx_lstr tok;
			kfx_range_expr *e;
			if (!kfx_gettok(&src, ',', &tok)) {
				rc = -EINVAL;
				break;
			}
			rc = kfx_range_expr_parse(&tok, min, max, 1, &e);
			if (rc != 0)
				break;
			list_add_tail(&e->re_link, &list->el_exprs);
		} while (src.ls_str != nullptr);
	} else {
		kfx_range_expr *e;
		rc = kfx_range_expr_parse(&src, min, max, 0, &e);
		if (rc == 0)
			list_add_tail(&e->re_link, &list->el_exprs);
	}
	if (rc != 0)
		return rc;
	*elpp = list.release();
	return 0;
}

int kfx_range_expr_print(char *buffer, int count, struct kfx_range_expr *expr,
                         bool bracketed)
{
	const char *open = bracketed ? "[" : "";
	const char *close = bracketed ? "]" : "";
	if (expr->re_lo == expr->re_hi)
		return scnprintf(buffer, count, "%u", expr->re_lo);
	if (expr->re_stride == 1)
		return scnprintf(buffer, count, "%s%u-%u%s", open, expr->re_lo,
		                 expr->re_hi, close);
	return scnprintf(buffer, count, "%s%u-%u/%u%s", open, expr->re_lo,
	                 expr->re_hi, expr->re_stride, close);
}

KFX_EXPORT int kfx_expr_list_print(char *buffer, int count,
                                   struct kfx_expr_list *expr_list)
{
	if (count <= 0)
		return 0;
	int ranges = 0;
	list_head *pos;
	list_for_each(pos, &expr_list->el_exprs) ranges++;
	if (ranges == 0)
		return 0;

	int len = 0;
	if (ranges > 1)
		len += scnprintf(buffer + len, count - len, "[");
	bool first = true;
	list_for_each(pos, &expr_list->el_exprs)
	{
		if (!first)
			len += scnprintf(buffer + len, count - len, ",");
		first = false;
		len += kfx_range_expr_print(
		        buffer + len, count - len,
		        list_entry(pos, kfx_range_expr, re_link), ranges == 1);
	}
	if (ranges > 1)
		len += scnprintf(buffer + len, count - len, "]");
	return len;
}

KFX_EXPORT int kfx_expr_list_match(__u32 value, struct kfx_expr_list *expr_list)
{
	list_head *pos;
	list_for_each(pos, &expr_list->el_exprs)
	{
		auto *e = list_entry(pos, kfx_range_expr, re_link);
		if (value >= e->re_lo && value <= e->re_hi &&
		    (value - e->re_lo) % e->re_stride == 0)
			return 1;
	}
	return 0;
}

KFX_EXPORT int kfx_expr_list_values(struct kfx_expr_list *expr_list, int max,
                                    __u32 **valpp)
{
	uint64_t count = 0;
	list_head *pos;
	list_for_each(pos, &expr_list->el_exprs) count +=
	        range_size(list_entry(pos, kfx_range_expr, re_link));
	if (count == 0)
		return 0;
	if (max < 0 || uint64_t(max) < count)
		return -EINVAL;

	auto *values = static_cast<__u32 *>(calloc(count, sizeof(__u32)));
	if (values == nullptr)
		return -ENOMEM;
	size_t i = 0;
	list_for_each(pos, &expr_list->el_exprs)
	{
		auto *e = list_entry(pos, kfx_range_expr, re_link);
		if (e->re_lo > e->re_hi)
			continue;
		for (uint64_t v = e->re_lo; v <= e->re_hi; v += e->re_stride)
			values[i++] = v;
	}
	*valpp = values;
	return int(count);
}

KFX_EXPORT void kfx_expr_list_values_free(__u32 *values, int num)
{
	(void)num;
	free(values);
}

KFX_EXPORT void kfx_expr_list_free(struct kfx_expr_list *expr_list)
{
	if (expr_list == nullptr)
		return;
	while (!list_empty(&expr_list->el_exprs)) {
		list_head *first = expr_list->el_exprs.next;
		list_del(first);
		free(list_entry(first, kfx_range_expr, re_link));
	}
	free(expr_list);
}

KFX_EXPORT void kfx_expr_list_free_list(struct list_head *list)
{
	while (!list_empty(list)) {
		list_head *first = list->next;
		list_del(first);
		kfx_expr_list_free(list_entry(first, kfx_expr_list, el_link));
	}
}

namespace
{

/* The absolute form of request_path into result (path_buf bytes): its
 * directory part resolved, its last component kept as it is. */
int abs_path_into(const char *request_path, char *result)
{
	char work[path_buf] = {};
	size_t len;
	if (request_path[0] != '/') {
		if (getcwd(result, path_max) == nullptr)
			return -errno;
		len = snprintf(work, sizeof(work), "%s/%s", result,
		               request_path);
	} else {
		const char *p = request_path;
		while (p[1] == '/')
			p++;
		len = snprintf(work, sizeof(work), "%s", p);
	}
	if (len > path_max)
		return -ENAMETOOLONG;

	char *last = strrchr(work, '/');
	if (last == work) {
		snprintf(result, path_buf, "%s", work);
		return 0;
	}
	*last = '\0';
	if (realpath(work, result) == nullptr)
		return -errno;
	size_t dirlen = strlen(result);
	const char *fmt = result[dirlen - 1] == '/' ? "%s" : "/%s";
	size_t added =
	        snprintf(result + dirlen, path_buf - dirlen, fmt, last + 1);
	return added >= path_buf - dirlen ? -ENAMETOOLONG : 0;
}

} // namespace

KFX_EXPORT int kfx_abs_path(const char *request_path, char **resolved_path)
{
	auto result = zv::malloc_as(path_buf);
	if (!result)
		return -ENOMEM;
	int rc = abs_path_into(request_path, result.get());
	*resolved_path = rc == 0 ? result.release() : nullptr;
	return rc;
}

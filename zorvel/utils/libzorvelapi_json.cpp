/* A writer of one flat JSON object a line, for tool output. Every line it
 * writes is valid JSON: keys are escaped like values, control characters
 * without a short escape become \u00XX and a real that is not finite is
 * written as null. */
#include "zorvelapi_internal.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <malloc.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace
{

/* The short escape of c, or 0 when it has none. Tested in this order. */
char short_escape(unsigned char c)
{
	switch (c) {
	case '\b':
		return 'b';
	case '\f':
		return 'f';
	case '\n':
		return 'n';
	case '\r':
		return 'r';
	case '\t':
		return 't';
	case '"':
		return '"';
	case '\\':
		return '\\';
	default:
		return 0;
	}
}

constexpr char hex_digits[] = "0123456789abcdef";

/* Bytes the escape of c takes: 1 for a byte copied as it is. */
size_t escaped_width(unsigned char c)
{
	if (short_escape(c))
		return 2;
	return c < 0x20 ? 6 : 1;
}

/* Writes the escape of c at out; returns the bytes written. */
size_t put_escaped(unsigned char c, char *out)
{
	if (char e = short_escape(c)) {
		out[0] = '\\';
		out[1] = e;
		return 2;
	}
	if (c < 0x20) {
		memcpy(out, "\\u00", 4);
		out[4] = hex_digits[c >> 4];
		out[5] = hex_digits[c & 0xf];
		return 6;
	}
	out[0] = static_cast<char>(c);
	return 1;
}

/* One line as it is built: a line of the usual length goes out in one
 * fwrite when it ends; a longer one goes out a bufferful at a time, so
 * that writing a line never allocates. */
class line_buffer
{
      public:
	explicit line_buffer(FILE *fp) : fp_(fp)
	{
	}
	void append(const char *bytes, size_t n)
	{
		while (n > sizeof(bytes_) - len_) {
			size_t part = sizeof(bytes_) - len_;
			memcpy(bytes_ + len_, bytes, part);
			len_ += part;
			flush();
			bytes += part;
			n -= part;
		}
		memcpy(bytes_ + len_, bytes, n);
		len_ += n;
	}
	void append(const char *text)
	{
		append(text, strlen(text));
	}
	void append(char c)
	{
		append(&c, 1);
	}
	void flush()
	{
		fwrite(bytes_, 1, len_, fp_);
		len_ = 0;
	}

      private:
	FILE *fp_;
	char bytes_[1024];
	size_t len_ = 0;
};

/* A run copied as it is ends at a control character (NUL, which ends the
 * text, among them), '"' or '\\'. */
#if defined(__SSE2__)
/* Bits i of [0, 16) where the 16-aligned p[i] ends a run. */
__attribute__((no_sanitize_address)) inline unsigned run_ends_at(const char *p)
{
	__m128i v = _mm_load_si128(reinterpret_cast<const __m128i *>(p));
	__m128i control =
	        _mm_cmpeq_epi8(_mm_min_epu8(v, _mm_set1_epi8(0x1f)), v);
	__m128i quote = _mm_cmpeq_epi8(v, _mm_set1_epi8('"'));
	__m128i backslash = _mm_cmpeq_epi8(v, _mm_set1_epi8('\\'));
	return static_cast<unsigned>(_mm_movemask_epi8(
	        _mm_or_si128(control, _mm_or_si128(quote, backslash))));
}

/* The length of the run that begins text, sixteen bytes at a time. The
 * loads are aligned, so none crosses into a page the text does not reach;
 * the bytes read past its NUL are never used, which the address
 * sanitizer cannot tell. */
__attribute__((no_sanitize_address)) size_t run_length(const char *text)
{
	uintptr_t skip = reinterpret_cast<uintptr_t>(text) & 15;
	const char *block = text - skip;
	if (unsigned m = run_ends_at(block) >> skip)
		return __builtin_ctz(m);
	for (block += 16;; block += 16)
		if (unsigned m = run_ends_at(block))
			return size_t(block - text) + __builtin_ctz(m);
}
#else
size_t run_length(const char *text)
{
	size_t n = 0;
	for (unsigned char c; (c = text[n]) >= 0x20 && c != '"' && c != '\\';)
		n++;
	return n;
}
#endif

/* Appends text escaped between double quotes: runs that need no escape
 * are copied at once. */
void append_quoted(line_buffer &line, const char *text)
{
	line.append('"');
	for (;;) {
		size_t n = run_length(text);
		line.append(text, n);
		text += n;
		unsigned char c = static_cast<unsigned char>(*text);
		if (c == 0)
			break;
		char esc[6];
		line.append(esc, put_escaped(c, esc));
		text++;
	}
	line.append('"');
}

/* Appends an integer as printf's %d and %llu write it. */
template <typename Int>
void append_integer(line_buffer &line, Int value)
{
	char digits[24];
	auto [end, ec] = std::to_chars(digits, digits + sizeof(digits), value);
	(void)ec; /* 24 bytes hold every 64-bit value */
	line.append(digits, end - digits);
}

/* Appends a finite real as printf's %f writes it. to_chars writes the
 * same digits, rounded the same way, with a '.': a locale with another
 * decimal point gets printf itself. The largest double takes 309 digits
 * and 7 more. */
void append_real(line_buffer &line, double value)
{
	char text[330];
	const char *point = localeconv()->decimal_point;
	size_t n;
	if (point[0] == '.' && point[1] == 0) {
		auto [end, ec] = std::to_chars(text, text + sizeof(text), value,
		                               std::chars_format::fixed, 6);
		(void)ec; /* the buffer holds every finite double */
		n = end - text;
	} else {
		int got = snprintf(text, sizeof(text), "%f", value);
		n = got > 0 ? size_t(got) : 0;
	}
	line.append(text, n);
}

void append_value(line_buffer &line, const zvapi_json_item *item)
{
	switch (item->zji_type) {
	case ZVAPI_JSON_INTEGER:
		append_integer(line, item->zji_integer);
		break;
	case ZVAPI_JSON_BIGNUM:
		append_integer(line,
		               static_cast<unsigned long long>(item->zji_u64));
		break;
	case ZVAPI_JSON_REAL:
		if (std::isfinite(item->zji_real))
			append_real(line, item->zji_real);
		else {
			line.append("null");
		}
		break;
	case ZVAPI_JSON_STRING:
		append_quoted(line, item->zji_string ? item->zji_string : "");
		break;
	default:
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "Invalid item type: %d", item->zji_type);
		line.append("\"\"");
		break;
	}
}

/* An item is one allocation: the record, then its key and its string
 * value. A key or string that lies elsewhere (put there by a caller who
 * changed the record) is freed on its own, as the item owns it. */
bool inside(const zvapi_json_item *item, const char *text)
{
	const char *block = reinterpret_cast<const char *>(item);
	return text > block &&
	       text < block + malloc_usable_size(
	                              const_cast<zvapi_json_item *>(item));
}

void free_item(zvapi_json_item *item)
{
	if (!inside(item, item->zji_key))
		free(item->zji_key);
	if (item->zji_type == ZVAPI_JSON_STRING &&
	    !inside(item, item->zji_string))
		free(item->zji_string);
	free(item);
}

bool valid_list(zvapi_json_item_list **json_items)
{
	return json_items != nullptr && *json_items != nullptr;
}

} // namespace

ZV_EXPORT int zvapi_json_escape_string(char **out_string, char *in_string)
{
	if (out_string == nullptr || in_string == nullptr)
		return -EINVAL;
	size_t len = 1;
	for (const char *p = in_string; *p; p++)
		len += escaped_width(static_cast<unsigned char>(*p));
	char *out = static_cast<char *>(calloc(1, len));
	if (out == nullptr)
		return -ENOMEM;
	size_t at = 0;
	for (const char *p = in_string; *p; p++)
		at += put_escaped(static_cast<unsigned char>(*p), out + at);
	*out_string = out;
	return 0;
}

ZV_EXPORT int zvapi_json_init_list(zvapi_json_item_list **json_items)
{
	if (json_items == nullptr)
		return -EINVAL;
	/* malloc, not calloc: small blocks come from the thread's cache. */
	auto *list = static_cast<zvapi_json_item_list *>(
	        malloc(sizeof(zvapi_json_item_list)));
	if (list == nullptr)
		return -ENOMEM;
	*list = zvapi_json_item_list{};
	*json_items = list;
	return 0;
}

ZV_EXPORT int zvapi_json_add_item(zvapi_json_item_list **json_items, char *key,
                                  uint32_t type, void *val)
{
	if (!valid_list(json_items) || val == nullptr || key == nullptr)
		return -EINVAL;
	if (type < ZVAPI_JSON_INTEGER || type > ZVAPI_JSON_STRING) {
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "Unknown JSON type: %d", type);
		return -EINVAL;
	}
	size_t key_size = strlen(key) + 1;
	size_t text_size = type == ZVAPI_JSON_STRING
	                           ? strlen(static_cast<const char *>(val)) + 1
	                           : 0;
	zv::unique_malloc<zvapi_json_item> item(zv::malloc_as<zvapi_json_item>(
	        sizeof(zvapi_json_item) + key_size + text_size));
	if (!item)
		return -ENOMEM;
	*item = zvapi_json_item{}; /* the texts behind it are all written */
	char *key_copy = reinterpret_cast<char *>(item.get() + 1);
	memcpy(key_copy, key, key_size);
	item->zji_type = type;
	switch (type) {
	case ZVAPI_JSON_INTEGER:
		memcpy(&item->zji_integer, val, sizeof(int));
		break;
	case ZVAPI_JSON_BIGNUM:
		memcpy(&item->zji_u64, val, sizeof(uint64_t));
		break;
	case ZVAPI_JSON_REAL:
		memcpy(&item->zji_real, val, sizeof(double));
		break;
	case ZVAPI_JSON_STRING:
		item->zji_string = key_copy + key_size;
		memcpy(item->zji_string, val, text_size);
		break;
	}
	zvapi_json_item_list *list = *json_items;
	item->zji_key = key_copy;
	item->zji_next = list->zjil_item_count > 0 ? list->zjil_items : nullptr;
	list->zjil_items = item.release();
	list->zjil_item_count++;
	return 0;
}

ZV_EXPORT int zvapi_json_write_list(zvapi_json_item_list **json_items, FILE *fp)
{
	if (!valid_list(json_items) || fp == nullptr)
		return -EINVAL;
	const zvapi_json_item_list *list = *json_items;
	line_buffer line(fp);
	line.append('{');
	const zvapi_json_item *item = list->zjil_items;
	for (int i = 0; i < list->zjil_item_count; i++) {
		if (item == nullptr) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "%d json items but %d is NULL!",
			            list->zjil_item_count, i);
			break;
		}
		/* Before the item, so that a chain that ends early still
		 * gives a closed, valid object. */
		if (i > 0)
			line.append(", ", 2);
		append_quoted(line, item->zji_key ? item->zji_key : "");
		line.append(": ", 2);
		append_value(line, item);
		item = item->zji_next;
	}
	line.append("}\n", 2);
	line.flush();
	return 0;
}

ZV_EXPORT int zvapi_json_destroy_list(zvapi_json_item_list **json_items)
{
	if (!valid_list(json_items))
		return -EINVAL;
	zvapi_json_item_list *list = *json_items;
	const int count = list->zjil_item_count;
	for (int i = 0; i < count; i++) {
		zvapi_json_item *item = list->zjil_items;
		if (item == nullptr) {
			zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
			            "%d json items but %d is NULL!", count, i);
			return -EINVAL;
		}
		/* The list keeps only what is not freed yet, so a second
		 * destroy of a broken list frees nothing twice. */
		list->zjil_items = item->zji_next;
		list->zjil_item_count--;
		free_item(item);
	}
	free(list);
	*json_items = nullptr;
	return 0;
}

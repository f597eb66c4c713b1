/* A writer of one flat JSON object a line, for tool output. Every line it
 * writes is valid JSON: keys are escaped like values, control characters
 * without a short escape become \u00XX and a real that is not finite is
 * written as null. */
#include "zorvelapi_internal.h"

#include <cmath>
#include <cstring>

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

/* Writes text escaped between double quotes: runs that need no escape go
 * out in one call. */
void write_quoted(FILE *fp, const char *text)
{
	fputc('"', fp);
	const char *run = text;
	for (const char *p = text; *p; p++) {
		unsigned char c = static_cast<unsigned char>(*p);
		if (escaped_width(c) == 1)
			continue;
		if (p > run)
			fwrite(run, 1, p - run, fp);
		char esc[6];
		fwrite(esc, 1, put_escaped(c, esc), fp);
		run = p + 1;
	}
	fputs(run, fp);
	fputc('"', fp);
}

void write_value(FILE *fp, const zvapi_json_item *item)
{
	switch (item->zji_type) {
	case ZVAPI_JSON_INTEGER:
		fprintf(fp, "%d", item->zji_integer);
		break;
	case ZVAPI_JSON_BIGNUM:
		fprintf(fp, "%llu",
		        static_cast<unsigned long long>(item->zji_u64));
		break;
	case ZVAPI_JSON_REAL:
		if (std::isfinite(item->zji_real))
			fprintf(fp, "%f", item->zji_real);
		else
			fputs("null", fp);
		break;
	case ZVAPI_JSON_STRING:
		write_quoted(fp, item->zji_string ? item->zji_string : "");
		break;
	default:
		zvapi_error(ZVAPI_MSG_ERROR | ZVAPI_MSG_NO_ERRNO, 0,
		            "Invalid item type: %d", item->zji_type);
		fputs("\"\"", fp);
		break;
	}
}

void free_item(zvapi_json_item *item)
{
	free(item->zji_key);
	if (item->zji_type == ZVAPI_JSON_STRING)
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
	auto *list = static_cast<zvapi_json_item_list *>(
	        calloc(1, sizeof(zvapi_json_item_list)));
	if (list == nullptr)
		return -ENOMEM;
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
	zv::unique_malloc<zvapi_json_item> item(
	        zv::calloc_as<zvapi_json_item>(sizeof(zvapi_json_item)));
	if (!item)
		return -ENOMEM;
	zv::unique_malloc<char> key_copy(strdup(key));
	if (!key_copy)
		return -ENOMEM;
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
		item->zji_string = strdup(static_cast<const char *>(val));
		if (item->zji_string == nullptr)
			return -ENOMEM;
		break;
	}
	zvapi_json_item_list *list = *json_items;
	item->zji_key = key_copy.release();
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
	fputc('{', fp);
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
			fputs(", ", fp);
		write_quoted(fp, item->zji_key ? item->zji_key : "");
		fputs(": ", fp);
		write_value(fp, item);
		item = item->zji_next;
	}
	fputs("}\n", fp);
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

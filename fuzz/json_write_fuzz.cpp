// The JSON writer takes keys, texts and numbers from anywhere (file names,
// kernel replies): whatever it is given, each line it writes must be one
// valid JSON object holding exactly the items added, newest first.
//
// Input: a sequence of items, each a type byte (low two bits: integer,
// unsigned 64-bit, real, string), a key length byte and the key, then the
// value: 4 or 8 raw bytes for the numbers (any double, NaN and infinities
// included), or a length byte and the text.
#include <zorvel/zorvelapi.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace
{

[[noreturn]] void fail(const char *what, const std::string &line, size_t at)
{
	std::fprintf(stderr, "json_write_fuzz: %s at byte %zu of: %s\n", what,
	             at, line.c_str());
	std::abort();
}

// A strict reader of the one shape the writer makes: an object of string
// keys and values that are strings, numbers or null, then a line end.
class Validator
{
      public:
	explicit Validator(const std::string &line) : s_(line)
	{
	}

	// Number of members; aborts on anything that is not valid JSON.
	size_t object()
	{
		expect('{');
		size_t members = 0;
		ws();
		if (peek() == '}') {
			pos_++;
		} else {
			for (;;) {
				ws();
				string();
				ws();
				expect(':');
				ws();
				value();
				ws();
				members++;
				if (peek() == ',') {
					pos_++;
					continue;
				}
				expect('}');
				break;
			}
		}
		expect('\n');
		if (pos_ != s_.size())
			fail("bytes after the line end", s_, pos_);
		return members;
	}

      private:
	char peek() const
	{
		return pos_ < s_.size() ? s_[pos_] : '\0';
	}
	void expect(char c)
	{
		if (peek() != c || pos_ >= s_.size())
			fail("unexpected byte", s_, pos_);
		pos_++;
	}
	void ws()
	{
		while (peek() == ' ' && pos_ < s_.size())
			pos_++;
	}
	static bool is_hex(char c)
	{
		return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') ||
		       (c >= 'A' && c <= 'F');
	}
	void string()
	{
		expect('"');
		for (;;) {
			if (pos_ >= s_.size())
				fail("unterminated string", s_, pos_);
			unsigned char c =
			        static_cast<unsigned char>(s_[pos_++]);
			if (c == '"')
				return;
			if (c < 0x20)
				fail("raw control character in a string", s_,
				     pos_ - 1);
			if (c != '\\')
				continue;
			char e = peek();
			pos_++;
			if (e == 'u') {
				for (int i = 0; i < 4; i++, pos_++)
					if (!is_hex(peek()))
						fail("bad \\u escape", s_,
						     pos_);
			} else if (!std::strchr("\"\\/bfnrt", e) || e == '\0') {
				fail("bad escape", s_, pos_ - 1);
			}
		}
	}
	void digits()
	{
		if (!(peek() >= '0' && peek() <= '9'))
			fail("digit expected", s_, pos_);
		while (peek() >= '0' && peek() <= '9')
			pos_++;
	}
	void number()
	{
		if (peek() == '-')
			pos_++;
		if (peek() == '0')
			pos_++;
		else
			digits();
		if (peek() == '.') {
			pos_++;
			digits();
		}
		if (peek() == 'e' || peek() == 'E') {
			pos_++;
			if (peek() == '+' || peek() == '-')
				pos_++;
			digits();
		}
	}
	void value()
	{
		if (peek() == '"')
			string();
		else if (s_.compare(pos_, 4, "null") == 0)
			pos_ += 4;
		else
			number();
	}

	const std::string &s_;
	size_t pos_ = 0;
};

struct Reader {
	const uint8_t *data;
	size_t size, pos = 0;
	bool take(void *out, size_t n)
	{
		if (size - pos < n)
			return false;
		std::memcpy(out, data + pos, n);
		pos += n;
		return true;
	}
	bool text(std::string &out)
	{
		uint8_t len;
		if (!take(&len, 1) || size - pos < len)
			return false;
		out.assign(reinterpret_cast<const char *>(data + pos), len);
		pos += len;
		return true;
	}
};

std::string written(zvapi_json_item_list **list)
{
	char *buf = nullptr;
	size_t len = 0;
	FILE *f = open_memstream(&buf, &len);
	if (!f)
		std::abort();
	if (zvapi_json_write_list(list, f) != 0)
		fail("write_list failed", "", 0);
	std::fclose(f);
	std::string out(buf, len);
	std::free(buf);
	return out;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
	zvapi_msg_set_level(ZVAPI_MSG_OFF);
	zvapi_json_item_list *list = nullptr;
	if (zvapi_json_init_list(&list) != 0)
		std::abort();
	Reader in{data, size};
	size_t added = 0;
	uint8_t type;
	std::string key, text;
	while (in.take(&type, 1) && in.text(key)) {
		uint32_t t = (type & 3) + ZVAPI_JSON_INTEGER;
		unsigned char value[8] = {};
		void *val = value;
		if (t == ZVAPI_JSON_STRING) {
			if (!in.text(text))
				break;
			val = text.data();
		} else if (!in.take(value, t == ZVAPI_JSON_INTEGER ? 4 : 8)) {
			break;
		}
		if (zvapi_json_add_item(&list, key.data(), t, val) != 0)
			std::abort();
		added++;
		// Every so often a line of what is there so far.
		if (added % 8 == 0) {
			std::string line = written(&list);
			if (Validator(line).object() != added)
				fail("wrong number of members", line, 0);
		}
	}
	std::string line = written(&list);
	if (Validator(line).object() != added)
		fail("wrong number of members", line, 0);
	if (zvapi_json_destroy_list(&list) != 0 || list != nullptr)
		std::abort();
	return 0;
}

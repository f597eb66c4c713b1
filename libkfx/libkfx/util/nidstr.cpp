/* Network identifier text: descriptor parsing into expression lists, and
 * the printers of expression chains and network names. */
#include <libkfx/util/nidstr.h>
#include <libkfx/util/string.h>

#include "kfx_internal.h"

#include <zv/c_boundary.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

namespace
{

/* How the address of a network type is written. */
enum class addr_form {
	ipv4,   /* four parts of 0 to 255 */
	number, /* one 32-bit number */
};

struct net_type_info {
	__u32 type;
	const char *name;
	addr_form form;
};

/* Type numbers are the network driver types of the networking layer. */
constexpr net_type_info net_types[] = {
        {2, "tcp", addr_form::ipv4},  {5, "o2ib", addr_form::ipv4},
        {9, "lo", addr_form::number}, {13, "gni", addr_form::number},
        {14, "gip", addr_form::ipv4}, {15, "ptl4", addr_form::number},
};

constexpr unsigned ipv4_parts = 4;
constexpr unsigned net_num_max = 0xffff;
constexpr int ring_slots = 8;

const net_type_info *type_by_number(__u32 type)
{
	for (const auto &t : net_types)
		if (t.type == type)
			return &t;
	return nullptr;
}

bool is_space(char c)
{
	return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' ||
	       c == '\r';
}

std::string_view trim(std::string_view s)
{
	while (!s.empty() && is_space(s.front()))
		s.remove_prefix(1);
	while (!s.empty() && is_space(s.back()))
		s.remove_suffix(1);
	return s;
}

/* The longest type name that starts net ("gip1" is gip, not a gi...). */
const net_type_info *type_prefix(std::string_view net)
{
	const net_type_info *best = nullptr;
	for (const auto &t : net_types) {
		size_t len = strlen(t.name);
		if (net.substr(0, len) == t.name &&
		    (best == nullptr || len > strlen(best->name)))
			best = &t;
	}
	return best;
}

/* Lists built while parsing, released unless handed over. */
class pending_lists
{
      public:
	pending_lists()
	{
		INIT_LIST_HEAD(&head_);
	}
	~pending_lists()
	{
		kfx_expr_list_free_list(&head_);
	}
	pending_lists(const pending_lists &) = delete;
	pending_lists &operator=(const pending_lists &) = delete;

	int add(std::string_view text, unsigned min, unsigned max)
	{
		text = trim(text);
		if (text.empty() || text.size() > INT_MAX)
			return -EINVAL;
		kfx_expr_list *el = nullptr;
		int rc = kfx_expr_list_parse(text.data(),
		                             static_cast<int>(text.size()), min,
		                             max, &el);
		if (rc < 0)
			return rc;
		list_add_tail(&el->el_link, &head_);
		return 0;
	}
	void move_to(list_head *dest)
	{
		while (!list_empty(&head_)) {
			list_head *first = head_.next;
			list_del(first);
			list_add_tail(first, dest);
		}
	}

      private:
	list_head head_;
};

int parse_addr(std::string_view text, addr_form form, pending_lists &out)
{
	text = trim(text);
	if (form == addr_form::number)
		return out.add(text, 0, UINT_MAX);
	if (text == "*") {
		for (unsigned i = 0; i < ipv4_parts; i++) {
			int rc = out.add("*", 0, 255);
			if (rc < 0)
				return rc;
		}
		return 0;
	}
	unsigned parts = 0;
	for (;;) {
		size_t dot = text.find('.');
		if (++parts > ipv4_parts)
			return -EINVAL;
		int rc = out.add(text.substr(0, dot), 0, 255);
		if (rc < 0)
			return rc;
		if (dot == std::string_view::npos)
			break;
		text.remove_prefix(dot + 1);
	}
	return parts == ipv4_parts ? 0 : -EINVAL;
}

size_t count_ranges(kfx_expr_list *el)
{
	size_t n = 0;
	list_head *pos;
	list_for_each(pos, &el->el_exprs) n++;
	return n;
}

} // namespace

KFX_EXPORT int kfx_parse_nid_parts(const char *str, struct list_head *addr,
                                   struct list_head *net_num, __u32 *net_type)
{
	if (str == nullptr || addr == nullptr || net_num == nullptr ||
	    net_type == nullptr)
		return -EINVAL;
	std::string_view text = trim(str);
	size_t at = text.find('@');
	if (at != std::string_view::npos &&
	    text.find('@', at + 1) != std::string_view::npos)
		return -EINVAL;
	std::string_view net =
	        trim(at == std::string_view::npos ? text : text.substr(at + 1));
	const net_type_info *type = type_prefix(net);
	if (type == nullptr)
		return -EINVAL;

	return zv::c_boundary(ENOMEM, [&] {
		pending_lists addr_lists, num_lists;
		std::string_view number = net.substr(strlen(type->name));
		if (!number.empty()) {
			int rc = num_lists.add(number, 0, net_num_max);
			if (rc < 0)
				return rc;
		}
		if (at != std::string_view::npos) {
			int rc = parse_addr(text.substr(0, at), type->form,
			                    addr_lists);
			if (rc < 0)
				return rc;
		}
		addr_lists.move_to(addr);
		num_lists.move_to(net_num);
		*net_type = type->type;
		return 0;
	});
}

KFX_EXPORT int kfx_expr2str(struct list_head *chain, char *str, size_t size)
{
	if (chain == nullptr || str == nullptr)
		return -EINVAL;
	if (size > INT_MAX)
		size = INT_MAX;
	if (list_empty(chain))
		return static_cast<int>(size);
	char *end = str + strlen(str);
	size_t used = 0;
	int rc = zv::c_boundary(ENOMEM, [&] {
		std::vector<char> piece;
		list_head *pos;
		list_for_each(pos, chain)
		{
			auto *el = list_entry(pos, kfx_expr_list, el_link);
			/* a range prints in at most 3 + 3 * 10 + 2 characters
			 */
			size_t room = count_ranges(el) * 36 + 3;
			piece.assign(room, '\0');
			int n = kfx_expr_list_print(piece.data(),
			                            static_cast<int>(room), el);
			size_t need = static_cast<size_t>(n) +
			              (pos != chain->next ? 1 : 0);
			if (used + need + 1 > size)
				return -ENOBUFS;
			if (pos != chain->next)
				end[used++] = '.';
			memcpy(end + used, piece.data(), n);
			used += n;
			end[used] = '\0';
		}
		return 0;
	});
	if (rc != 0) {
		*end = '\0';
		return rc;
	}
	return static_cast<int>(size - used);
}

KFX_EXPORT char *libkfx_net2str_r(__u32 net, char *buf, size_t buf_size)
{
	if (buf == nullptr || buf_size == 0)
		return buf;
	__u32 type = net >> 16, num = net & 0xffff;
	const net_type_info *t = type_by_number(type);
	if (t == nullptr)
		snprintf(buf, buf_size, "<%u:%u>", type, num);
	else if (num == 0)
		snprintf(buf, buf_size, "%s", t->name);
	else
		snprintf(buf, buf_size, "%s%u", t->name, num);
	return buf;
}

KFX_EXPORT char *libkfx_next_nidstring(void)
{
	/* one ring per thread, so threads never share a buffer */
	static thread_local char ring[ring_slots][KFX_NIDSTR_SIZE];
	static thread_local unsigned next;
	char *buf = ring[next++ % ring_slots];
	buf[0] = '\0';
	return buf;
}

KFX_EXPORT int libkfx_str2nettype(const char *name)
{
	if (name == nullptr)
		return -ENOENT;
	for (const auto &t : net_types)
		if (strcmp(t.name, name) == 0)
			return static_cast<int>(t.type);
	return -ENOENT;
}

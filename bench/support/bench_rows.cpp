#include "bench_rows.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zvbench
{

namespace
{

struct aim_parts {
	bool at_most; /* "<=" */
	double bound; /* a percentage already divided by 100 */
	bool percent;
};

std::optional<aim_parts> parse_aim(const std::string &aim)
{
	aim_parts p{};
	if (aim.rfind(">= ", 0) == 0)
		p.at_most = false;
	else if (aim.rfind("<= ", 0) == 0)
		p.at_most = true;
	else
		return std::nullopt;
	const char *number = aim.c_str() + 3;
	char *end;
	p.bound = strtod(number, &end);
	if (end == number || !std::isfinite(p.bound))
		return std::nullopt;
	p.percent = strcmp(end, "%") == 0;
	if (p.percent)
		p.bound /= 100;
	else if (*end != '\0')
		return std::nullopt;
	return p;
}

bool is_percent(const std::string &aim)
{
	auto p = parse_aim(aim);
	return p && p->percent;
}

/* Tabs and line ends would split a field or a line of the rows file. */
std::string one_field(std::string s)
{
	std::replace_if(
	        s.begin(), s.end(),
	        [](char c) { return c == '\t' || c == '\n' || c == '\r'; },
	        ' ');
	return s;
}

std::string number_text(double v, const char *format)
{
	char buf[64];
	snprintf(buf, sizeof buf, format, v);
	return buf;
}

std::string optional_text(const std::optional<double> &v)
{
	return v ? number_text(*v, "%.6g") : "-";
}

std::optional<double> optional_number(const std::string &field)
{
	if (field == "-")
		return std::nullopt;
	return strtod(field.c_str(), nullptr);
}

std::string json_string(const std::string &s)
{
	std::string out = "\"";
	for (unsigned char c : s) {
		if (c == '"' || c == '\\') {
			out += '\\';
			out += char(c);
		} else if (c < 0x20) {
			char escape[8];
			snprintf(escape, sizeof escape, "\\u%04x", unsigned(c));
			out += escape;
		} else {
			out += char(c);
		}
	}
	return out + "\"";
}

std::string json_number(const std::optional<double> &v)
{
	return v && std::isfinite(*v) ? number_text(*v, "%.6g") : "null";
}

/* What the table shows of a figure: its number and unit. */
std::string figure_cell(const std::optional<double> &v, const std::string &unit)
{
	return v ? number_text(*v, "%.4g") + " " + unit : "-";
}

} // namespace

/* Two decimals, or as many more as it takes for the number shown to fall on
 * the same side of the aim as the ratio itself: 0.9494 against ">= 0.95"
 * shows as 0.949, not as a 0.95 that reads as met. */
std::string ratio_cell(const row &r)
{
	if (!r.ratio)
		return "-";
	bool percent = is_percent(r.aim);
	double shown_as = percent ? *r.ratio * 100 : *r.ratio;
	std::string text;
	for (int decimals = 2; decimals <= 6; decimals++) {
		char buf[330]; /* every double, with six decimals */
		snprintf(buf, sizeof buf, "%.*f", decimals, shown_as);
		text = buf;
		double shown = strtod(text.c_str(), nullptr);
		if (!r.met ||
		    meets(percent ? shown / 100 : shown, r.aim) == r.met)
			break;
	}
	return percent ? text + "%" : text;
}

double median(std::vector<double> values)
{
	if (values.empty())
		return NAN;
	std::sort(values.begin(), values.end());
	size_t mid = values.size() / 2;
	return values.size() % 2 ? values[mid]
	                         : (values[mid - 1] + values[mid]) / 2;
}

std::optional<bool> meets(double ratio, const std::string &aim)
{
	auto p = parse_aim(aim);
	if (!p)
		return std::nullopt;
	return p->at_most ? ratio <= p->bound : ratio >= p->bound;
}

row make_row(const std::string &benchmark, const std::string &unit,
             const std::vector<double> &figures,
             const std::vector<double> &baselines, const std::string &aim)
{
	if (!aim.empty() && !parse_aim(aim))
		throw std::invalid_argument("aim '" + aim +
		                            "' is not '>= N' or '<= N'");
	row r;
	r.benchmark = one_field(benchmark);
	r.unit = one_field(unit);
	r.aim = aim;
	std::vector<double> mine, theirs, ratios;
	for (size_t i = 0; i < figures.size() && i < baselines.size(); i++) {
		if (!std::isfinite(figures[i]) ||
		    !std::isfinite(baselines[i]) || baselines[i] == 0)
			continue;
		mine.push_back(figures[i]);
		theirs.push_back(baselines[i]);
		ratios.push_back(figures[i] / baselines[i]);
	}
	if (ratios.empty()) {
		/* a figure only, or a baseline that failed in every run */
		for (double v : figures)
			if (std::isfinite(v))
				mine.push_back(v);
		r.figure = median(mine);
		r.runs = int(mine.size());
		return r;
	}
	r.figure = median(mine);
	r.runs = int(ratios.size());
	r.baseline = median(theirs);
	r.ratio = median(ratios);
	if (!aim.empty())
		r.met = meets(*r.ratio, aim);
	return r;
}

std::string to_line(const row &r)
{
	std::string met = r.met ? (*r.met ? "true" : "false") : "-";
	return r.benchmark + "\t" + r.unit + "\t" +
	       number_text(r.figure, "%.6g") + "\t" +
	       optional_text(r.baseline) + "\t" + optional_text(r.ratio) +
	       "\t" + (r.aim.empty() ? "-" : r.aim) + "\t" + met + "\t" +
	       std::to_string(r.runs);
}

std::optional<row> from_line(const std::string &line)
{
	std::vector<std::string> f;
	for (size_t at = 0;;) {
		size_t tab = line.find('\t', at);
		f.push_back(line.substr(at, tab - at));
		if (tab == std::string::npos)
			break;
		at = tab + 1;
	}
	if (f.size() != 8)
		return std::nullopt;
	row r;
	r.benchmark = f[0];
	r.unit = f[1];
	r.figure = strtod(f[2].c_str(), nullptr);
	r.baseline = optional_number(f[3]);
	r.ratio = optional_number(f[4]);
	r.aim = f[5] == "-" ? "" : f[5];
	if (f[6] != "-")
		r.met = f[6] == "true";
	r.runs = atoi(f[7].c_str());
	return r;
}

bool append_to_rows_file(const std::vector<row> &rows)
{
	const char *path = getenv("ZV_BENCH_ROWS");
	if (path == nullptr || *path == '\0')
		return true;
	FILE *f = fopen(path, "a");
	if (f == nullptr)
		return false;
	for (const row &r : rows)
		fprintf(f, "%s\n", to_line(r).c_str());
	return fclose(f) == 0;
}

bool stdout_written()
{
	if (fflush(stdout) == 0 && !ferror(stdout))
		return true;
	fprintf(stderr, "cannot write the table to standard output: %s\n",
	        strerror(errno));
	return false;
}

void print_table(FILE *out, const std::vector<row> &rows)
{
	std::vector<std::vector<std::string>> cells = {{"benchmark", "figure",
	                                                "baseline", "ratio",
	                                                "aim", "met", "runs"}};
	for (const row &r : rows)
		cells.push_back({r.benchmark, figure_cell(r.figure, r.unit),
		                 figure_cell(r.baseline, r.unit), ratio_cell(r),
		                 r.aim.empty() ? "-" : r.aim,
		                 r.met ? (*r.met ? "yes" : "no") : "-",
		                 std::to_string(r.runs)});
	std::vector<size_t> width(cells[0].size());
	for (const auto &line : cells)
		for (size_t i = 0; i < line.size(); i++)
			width[i] = std::max(width[i], line[i].size());
	for (const auto &line : cells) {
		std::string text;
		for (size_t i = 0; i < line.size(); i++) {
			text += line[i];
			if (i + 1 < line.size())
				text += std::string(
				        width[i] - line[i].size() + 2, ' ');
		}
		fprintf(out, "%s\n", text.c_str());
	}
}

std::string to_json(const std::vector<row> &rows)
{
	std::string out = "[";
	for (size_t i = 0; i < rows.size(); i++) {
		const row &r = rows[i];
		std::string met = r.met ? (*r.met ? "true" : "false") : "null";
		out += i ? ",\n " : "\n ";
		out += "{\"benchmark\": " + json_string(r.benchmark) +
		       ", \"unit\": " + json_string(r.unit) +
		       ", \"figure\": " + json_number(r.figure) +
		       ", \"baseline\": " + json_number(r.baseline) +
		       ", \"ratio\": " + json_number(r.ratio) + ", \"aim\": " +
		       (r.aim.empty() ? "null" : json_string(r.aim)) +
		       ", \"met\": " + met +
		       ", \"runs\": " + std::to_string(r.runs) + "}";
	}
	return out + (rows.empty() ? "]\n" : "\n]\n");
}

} // namespace zvbench

#include "table.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

// The value at quantile q of the sorted samples, by the nearest rank.
double quantile(std::vector<double> values, double q)
{
	if (values.empty())
		return 0.0;
	std::sort(values.begin(), values.end());
	const size_t rank = static_cast<size_t>(std::ceil(q * static_cast<double>(values.size())));
	return values[std::min(values.size() - 1, rank == 0 ? 0 : rank - 1)];
}

} // namespace

double Stats::median() const
{
	if (samples.empty())
		return 0.0;
	std::vector<double> values = samples;
	std::sort(values.begin(), values.end());
	const size_t n = values.size();
	return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2.0;
}

double Stats::p90() const
{
	return quantile(samples, 0.9);
}

double Stats::min() const
{
	return samples.empty() ? 0.0 : *std::min_element(samples.begin(), samples.end());
}

std::string formatMs(double ms)
{
	char text[32];
	if (ms < 1.0)
		snprintf(text, sizeof text, "%.3f", ms);
	else if (ms < 100.0)
		snprintf(text, sizeof text, "%.2f", ms);
	else
		snprintf(text, sizeof text, "%.1f", ms);
	return text;
}

std::string renderTable(const std::vector<std::string> &heading, const std::vector<Row> &rows)
{
	std::string out;
	for (const std::string &line : heading)
		out += line + "\n";
	out += "\n| Measured | Studios | Median ms | p90 ms | Min ms | Runs | Floor: the bare library | Floor median ms "
	       "| Ratio | Target | Result |\n";
	out += "|---|---:|---:|---:|---:|---:|---|---:|---:|---|---|\n";
	for (const Row &row : rows) {
		out += "| " + row.what + " | " + row.studios + " | ";
		if (!row.text.empty()) {
			out += row.text + " | | | | " + row.floorWhat + " | | | ";
		} else {
			out += formatMs(row.measured.median()) + " | " + formatMs(row.measured.p90()) + " | " +
			       formatMs(row.measured.min()) + " | " + std::to_string(row.measured.samples.size()) +
			       " | " + row.floorWhat + " | ";
			if (row.floor.empty()) {
				out += " | | ";
			} else {
				char ratio[32];
				const double floorMedian = row.floor.median();
				if (floorMedian > 0.0)
					snprintf(ratio, sizeof ratio, "%.2f×", row.measured.median() / floorMedian);
				else
					snprintf(ratio, sizeof ratio, "floor not measured");
				out += formatMs(floorMedian) + " | " + ratio + " | ";
			}
		}
		out += row.target + " | ";
		switch (row.verdict) {
		case Row::Verdict::Met:
			out += "met";
			break;
		case Row::Verdict::Missed:
			out += "**missed**";
			break;
		case Row::Verdict::None:
			break;
		}
		out += " |\n";
	}
	return out;
}

std::vector<std::string> unmeasured(const std::vector<Row> &rows)
{
	std::vector<std::string> reasons;
	for (const Row &row : rows) {
		if (row.text.rfind("not measured", 0) == 0)
			reasons.push_back(row.what + ": " + row.text);
		else if (row.text.empty() && row.measured.empty())
			reasons.push_back(row.what + ": no runs");
		else if (row.text.empty() && !row.floor.empty() && !(row.floor.median() > 0.0))
			reasons.push_back(row.what + ": its floor, " + row.floorWhat + ", measured no time");
	}
	return reasons;
}

#pragma once

// Figures of repeated runs and the Markdown table they are reported in.

#include <string>
#include <vector>

// The times of repeated runs of one thing, in milliseconds.
struct Stats {
	std::vector<double> samples;

	bool empty() const { return samples.empty(); }
	double median() const;
	double p90() const;
	double min() const;
};

// One line of the table: what the plug-in's code took, beside what the bare library took for the same work.
struct Row {
	enum class Verdict { None, Met, Missed };

	std::string what;
	std::string studios; // the list's size, or empty
	Stats measured;
	std::string floorWhat;
	Stats floor;
	std::string target; // empty: none
	Verdict verdict = Verdict::None;
	// Shown in place of the figures when set: a derived figure, or why the runs could not be counted.
	std::string text;
};

// Milliseconds with three significant figures or more.
std::string formatMs(double ms);

// The rows as a Markdown table, preceded by `heading` lines.
std::string renderTable(const std::vector<std::string> &heading, const std::vector<Row> &rows);

// Why a figure of these rows could not be measured, one line each; empty when every one was.
std::vector<std::string> unmeasured(const std::vector<Row> &rows);

#pragma once
// Bar charts as inline SVG for the usage report's page: drawn from numbers alone, with a title
// and a description a screen reader reads, and a tooltip per bar. Every text given is UTF-8 and
// is escaped here.

#include <string>
#include <vector>

namespace vserver::ctl {

struct ChartBar {
    std::string label;   // under (or beside) the bar
    double value = 0;
    std::string note;    // the bar's tooltip: the label with its value in words
};

struct Chart {
    std::string title;
    std::string description;
    std::string unit;    // the value axis, "sessions"
    bool counts = true;  // the values are whole numbers
    std::vector<ChartBar> bars;
};

// Bars standing side by side along a time axis (days, hours); labels thinned out so they never
// overlap.
std::string ColumnChartSvg(const Chart& chart);
// Bars lying one below the other, each with its label and value beside it (accounts, workstations).
std::string RowChartSvg(const Chart& chart);

} // namespace vserver::ctl

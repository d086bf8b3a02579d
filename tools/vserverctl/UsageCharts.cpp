#include "vserverctl/UsageCharts.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "vserverctl/TextForms.h"

namespace vserver::ctl {

namespace {

constexpr int kWidth = 720;
constexpr int kColumnHeight = 240;
constexpr int kLeft = 48;      // room for the value axis' labels
constexpr int kBottom = 36;    // room for the labels under the columns
constexpr int kTop = 12;
constexpr int kRowHeight = 20;
constexpr int kRowLabelWidth = 190;
constexpr int kRowValueWidth = 80;
constexpr const char* kBarColour = "#3b6ea5";

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    std::string out = text;
    if (out.size() > 2 && out.compare(out.size() - 2, 2, ".0") == 0) out.resize(out.size() - 2);
    return out;
}

// The value axis: a step of 1, 2 or 5 times a power of ten giving about four steps (at least
// 1 for counts, which have no fractions), and a top that is a whole number of steps.
struct Axis {
    double top = 1;
    double step = 1;
};

Axis AxisFor(const std::vector<ChartBar>& bars, bool counts) {
    double largest = 0;
    for (const ChartBar& bar : bars) largest = std::max(largest, bar.value);
    if (largest <= 0) return {};
    const double rough = largest / 4;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    double step = 10 * power;
    for (double factor : {1.0, 2.0, 5.0}) {
        if (rough <= factor * power) {
            step = factor * power;
            break;
        }
    }
    if (counts) step = std::max(step, 1.0);
    return {std::ceil(largest / step) * step, step};
}

std::string Open(const Chart& chart, int height, const std::string& id) {
    return "<svg role=\"img\" aria-labelledby=\"" + id + "-title " + id + "-description\" viewBox=\"0 0 " +
           std::to_string(kWidth) + " " + std::to_string(height) + "\" width=\"" + std::to_string(kWidth) +
           "\" height=\"" + std::to_string(height) + "\" font-family=\"sans-serif\" font-size=\"11\">\n<title id=\"" +
           id + "-title\">" + HtmlEscape(chart.title) + "</title>\n<desc id=\"" + id + "-description\">" +
           HtmlEscape(chart.description) + "</desc>\n";
}

std::string Text(double x, double y, const std::string& anchor, const std::string& text) {
    return "<text x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" text-anchor=\"" + anchor + "\">" + HtmlEscape(text) +
           "</text>\n";
}

std::string Bar(double x, double y, double width, double height, const std::string& note) {
    return "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" + Number(width) + "\" height=\"" +
           Number(height) + "\" fill=\"" + kBarColour + "\"><title>" + HtmlEscape(note) + "</title></rect>\n";
}

std::string Nothing(const Chart& chart, const std::string& id) {
    return Open(chart, 60, id) + Text(kWidth / 2.0, 34, "middle", "Nothing to show for this period") + "</svg>\n";
}

// text cut to at most most bytes, at a character's start, with an ellipsis where it was cut.
std::string Shortened(const std::string& text, std::size_t most) {
    if (text.size() <= most) return text;
    std::size_t cut = most - 3;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "\u2026";
}

// A chart's id for its title and description, from its title.
std::string IdOf(const Chart& chart) {
    std::string id = "chart";
    for (char c : chart.title) {
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) id += static_cast<char>(c | 0x20);
    }
    return id;
}

std::string ValueAxis(const Axis& axis, int plotHeight, const std::string& unit) {
    std::string svg;
    const int steps = static_cast<int>(std::lround(axis.top / axis.step));
    for (int step = 0; step <= steps; ++step) {
        const double value = axis.step * step;
        const double y = kTop + plotHeight - plotHeight * value / axis.top;
        svg += "<line x1=\"" + std::to_string(kLeft) + "\" x2=\"" + std::to_string(kWidth) + "\" y1=\"" + Number(y) +
               "\" y2=\"" + Number(y) + "\" stroke=\"#ccc\" stroke-width=\"1\"/>\n";
        svg += Text(kLeft - 6, y + 4, "end", Number(value));
    }
    svg += "<text x=\"12\" y=\"" + Number(kTop + plotHeight / 2.0) + "\" text-anchor=\"middle\" transform=\"rotate(-90 12 " +
           Number(kTop + plotHeight / 2.0) + ")\">" + HtmlEscape(unit) + "</text>\n";
    return svg;
}

} // namespace

std::string ColumnChartSvg(const Chart& chart) {
    const std::string id = IdOf(chart);
    if (chart.bars.empty()) return Nothing(chart, id);
    const int plotHeight = kColumnHeight - kTop - kBottom;
    const Axis axis = AxisFor(chart.bars, chart.counts);
    const double top = axis.top;
    const double slot = static_cast<double>(kWidth - kLeft) / static_cast<double>(chart.bars.size());
    // About one label per 60 pixels.
    const std::size_t labelEvery = std::max<std::size_t>(1, static_cast<std::size_t>(std::ceil(60.0 / slot)));
    std::string svg = Open(chart, kColumnHeight, id) + ValueAxis(axis, plotHeight, chart.unit);
    for (std::size_t i = 0; i < chart.bars.size(); ++i) {
        const ChartBar& bar = chart.bars[i];
        const double height = plotHeight * bar.value / top;
        const double x = kLeft + slot * static_cast<double>(i);
        svg += Bar(x + slot * 0.1, kTop + plotHeight - height, std::max(slot * 0.8, 0.5), height, bar.note);
        if (i % labelEvery == 0) svg += Text(x + slot / 2, kColumnHeight - kBottom + 16, "middle", bar.label);
    }
    return svg + "</svg>\n";
}

std::string RowChartSvg(const Chart& chart) {
    const std::string id = IdOf(chart);
    if (chart.bars.empty()) return Nothing(chart, id);
    const int height = kTop + static_cast<int>(chart.bars.size()) * kRowHeight + kTop;
    const double top = AxisFor(chart.bars, chart.counts).top;
    const double room = kWidth - kRowLabelWidth - kRowValueWidth;
    std::string svg = Open(chart, height, id);
    for (std::size_t i = 0; i < chart.bars.size(); ++i) {
        const ChartBar& bar = chart.bars[i];
        const double y = kTop + kRowHeight * static_cast<double>(i);
        const double length = room * bar.value / top;
        // Long names are cut to fit the label column; the tooltip and the tables hold them whole.
        svg += Text(kRowLabelWidth - 6, y + 14, "end", Shortened(bar.label, 30));
        svg += Bar(kRowLabelWidth, y + 3, std::max(length, 0.5), kRowHeight - 6, bar.note);
        svg += Text(kRowLabelWidth + length + 6, y + 14, "start", Number(bar.value) + " " + chart.unit);
    }
    return svg + "</svg>\n";
}

} // namespace vserver::ctl

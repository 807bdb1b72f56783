#include "develop/lib/Plot.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "develop/lib/Sheet.h"

namespace zeb_develop {
namespace {

constexpr double kWidth = 360, kHeight = 220;
constexpr double kLeft = 56, kRight = 12, kTop = 26, kBottom = 40;

std::string Num(double v) {
    char text[32];
    snprintf(text, sizeof text, "%.1f", v);
    return text;
}

// Tick label: no more digits than the step needs.
std::string Tick(double v, double step) {
    char text[32];
    if (std::fabs(v) < step * 1e-6) v = 0;  // not "-0"

    if (step >= 1 || std::fabs(v) >= 1000) {
        snprintf(text, sizeof text, "%.0f", v);
    } else {
        snprintf(text, sizeof text, step >= 0.1 ? "%.1f" : "%.2f", v);
    }
    return text;
}

// A 1, 2 or 5 times a power of ten step giving about five ticks over [lo, hi].
double NiceStep(double lo, double hi) {
    const double raw = std::max((hi - lo) / 5, 1e-9);
    const double power = std::pow(10, std::floor(std::log10(raw)));
    for (double m : {1.0, 2.0, 5.0, 10.0}) {
        if (m * power >= raw) return m * power;
    }
    return 10 * power;
}

struct Axes {
    double x0, x1, y0, y1;
    double X(double x) const { return kLeft + (x - x0) / (x1 - x0) * (kWidth - kLeft - kRight); }
    double Y(double y) const { return kHeight - kBottom - (y - y0) / (y1 - y0) * (kHeight - kTop - kBottom); }
};

std::string Frame(const std::string& title, const std::string& xLabel, const std::string& yLabel, const Axes& a,
                  double xStep, double yStep) {
    std::string svg = "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Num(kWidth) + "\" height=\"" +
                      Num(kHeight) + "\" viewBox=\"0 0 " + Num(kWidth) + " " + Num(kHeight) +
                      "\" font-family=\"sans-serif\" font-size=\"10\" role=\"img\">";
    svg += "<title>" + HtmlEscape(title) + "</title>";
    svg += "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>";
    svg += "<text x=\"" + Num(kWidth / 2) + "\" y=\"14\" text-anchor=\"middle\" font-size=\"12\">" + HtmlEscape(title) +
           "</text>";
    for (double y = std::ceil(a.y0 / yStep - 1e-9) * yStep; y <= a.y1 + 1e-9; y += yStep) {
        svg += "<line x1=\"" + Num(kLeft) + "\" x2=\"" + Num(kWidth - kRight) + "\" y1=\"" + Num(a.Y(y)) + "\" y2=\"" +
               Num(a.Y(y)) + "\" stroke=\"#e4e4e4\"/>";
        svg += "<text x=\"" + Num(kLeft - 4) + "\" y=\"" + Num(a.Y(y) + 3) + "\" text-anchor=\"end\">" +
               Tick(y, yStep) + "</text>";
    }
    if (xStep > 0) {
        for (double x = std::ceil(a.x0 / xStep - 1e-9) * xStep; x <= a.x1 + 1e-9; x += xStep) {
            svg += "<line x1=\"" + Num(a.X(x)) + "\" x2=\"" + Num(a.X(x)) + "\" y1=\"" + Num(kHeight - kBottom) +
                   "\" y2=\"" + Num(kHeight - kBottom + 4) + "\" stroke=\"#333\"/>";
            svg += "<text x=\"" + Num(a.X(x)) + "\" y=\"" + Num(kHeight - kBottom + 14) + "\" text-anchor=\"middle\">" +
                   Tick(x, xStep) + "</text>";
        }
    }
    svg += "<line x1=\"" + Num(kLeft) + "\" x2=\"" + Num(kLeft) + "\" y1=\"" + Num(kTop) + "\" y2=\"" +
           Num(kHeight - kBottom) + "\" stroke=\"#333\"/>";
    svg += "<line x1=\"" + Num(kLeft) + "\" x2=\"" + Num(kWidth - kRight) + "\" y1=\"" + Num(kHeight - kBottom) +
           "\" y2=\"" + Num(kHeight - kBottom) + "\" stroke=\"#333\"/>";
    svg += "<text x=\"" + Num((kLeft + kWidth - kRight) / 2) + "\" y=\"" + Num(kHeight - 6) +
           "\" text-anchor=\"middle\">" + HtmlEscape(xLabel) + "</text>";
    svg += "<text transform=\"translate(12 " + Num((kTop + kHeight - kBottom) / 2) +
           ") rotate(-90)\" text-anchor=\"middle\">" + HtmlEscape(yLabel) + "</text>";
    return svg;
}

std::string Legend(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string svg;
    double x = kLeft + 4;
    for (const auto& [name, colour] : entries) {
        svg += "<rect x=\"" + Num(x) + "\" y=\"" + Num(kTop - 2) + "\" width=\"8\" height=\"8\" fill=\"" + colour + "\"/>";
        svg += "<text x=\"" + Num(x + 11) + "\" y=\"" + Num(kTop + 6) + "\">" + HtmlEscape(name) + "</text>";
        x += 16 + 6.0 * static_cast<double>(name.size());
    }
    return svg;
}

}  // namespace

std::string SvgPlot(const std::string& title, const std::string& xLabel, const std::string& yLabel,
                    const std::vector<Series>& series) {
    Axes a{1e300, -1e300, 1e300, -1e300};
    for (const Series& s : series) {
        for (const auto& [x, y] : s.points) {
            a.x0 = std::min(a.x0, x);
            a.x1 = std::max(a.x1, x);
            a.y0 = std::min(a.y0, y);
            a.y1 = std::max(a.y1, y);
        }
    }
    if (a.x0 > a.x1) a = {0, 1, 0, 1};
    if (a.x1 - a.x0 < 1) a.x1 = a.x0 + 1;
    if (a.y1 - a.y0 < 1e-9) {
        a.y0 -= std::max(std::fabs(a.y0) * 0.1, 1.0);
        a.y1 += std::max(std::fabs(a.y1) * 0.1, 1.0);
    }
    const double pad = (a.y1 - a.y0) * 0.08;
    a.y0 -= pad;
    a.y1 += pad;
    std::string svg = Frame(title, xLabel, yLabel, a, std::max(1.0, NiceStep(a.x0, a.x1)), NiceStep(a.y0, a.y1));
    std::vector<std::pair<std::string, std::string>> legend;
    for (const Series& s : series) {
        if (s.points.empty()) continue;
        legend.emplace_back(s.name, s.colour);
        if (s.line && s.points.size() > 1) {
            svg += "<polyline class=\"mark\" fill=\"none\" stroke-width=\"1.5\" stroke=\"" + s.colour + "\" points=\"";
            for (const auto& [x, y] : s.points) svg += Num(a.X(x)) + "," + Num(a.Y(y)) + " ";
            svg += "\"/>";
        }
        for (const auto& [x, y] : s.points) {
            svg += "<circle class=\"mark\" r=\"" + std::string(s.line ? "2.5" : "3.5") + "\" cx=\"" + Num(a.X(x)) + "\" cy=\"" +
                   Num(a.Y(y)) + "\" fill=\"" + (s.line ? s.colour : "none") + "\" stroke=\"" + s.colour + "\"/>";
        }
    }
    return svg + Legend(legend) + "</svg>";
}

std::string SvgBars(const std::string& title, const std::string& yLabel, const std::vector<std::string>& categories,
                    const std::vector<BarGroup>& groups) {
    double top = 1;
    for (const BarGroup& g : groups) {
        for (double v : g.values) top = std::max(top, v);
    }
    const double n = static_cast<double>(std::max<size_t>(categories.size(), 1));
    Axes a{0, n, 0, top * 1.15};
    std::string svg = Frame(title, "", yLabel, a, 0, NiceStep(0, a.y1));
    const double slot = (kWidth - kLeft - kRight) / n;
    const double bar = slot * 0.8 / static_cast<double>(std::max<size_t>(groups.size(), 1));
    std::vector<std::pair<std::string, std::string>> legend;
    for (size_t g = 0; g < groups.size(); ++g) {
        legend.emplace_back(groups[g].name, groups[g].colour);
        for (size_t c = 0; c < categories.size() && c < groups[g].values.size(); ++c) {
            const double v = groups[g].values[c];
            const double x = kLeft + slot * static_cast<double>(c) + slot * 0.1 + bar * static_cast<double>(g);
            svg += std::string("<rect") + (v > 0 ? " class=\"mark\"" : "") + " x=\"" + Num(x) + "\" y=\"" + Num(a.Y(v)) + "\" width=\"" + Num(bar - 1) + "\" height=\"" +
                   Num(a.Y(0) - a.Y(v)) + "\" fill=\"" + groups[g].colour + "\"><title>" + HtmlEscape(groups[g].name) +
                   " " + Num(v) + "</title></rect>";
        }
    }
    for (size_t c = 0; c < categories.size(); ++c) {
        svg += "<text x=\"" + Num(kLeft + slot * (static_cast<double>(c) + 0.5)) + "\" y=\"" +
               Num(kHeight - kBottom + 14) + "\" text-anchor=\"middle\">" + HtmlEscape(categories[c]) + "</text>";
    }
    return svg + Legend(legend) + "</svg>";
}

}  // namespace zeb_develop

#include "orvalt/calibration/report_page/report_page.hpp"

#include <cmath>

#include <fmt/format.h>

#include "orvalt/calibration/report_page/page_charts.hpp"
#include "orvalt/calibration/report_page/page_verdict.hpp"
#include "orvalt/common/atomic_file.hpp"
#include "orvalt/common/base64.hpp"

namespace orvalt::calibration {
namespace {

constexpr const char* kStyle = R"(
body { font-family: "DejaVu Sans", Arial, sans-serif; margin: 2em auto; max-width: 62em;
       padding: 0 1em; color: #222; line-height: 1.45; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { border-bottom: 2px solid #ddd; padding-bottom: 0.2em; margin-top: 2em; }
.sub { color: #666; margin-top: 0; }
.verdict { font-size: 1.25em; font-weight: bold; padding: 0.7em 1em; border-radius: 6px; }
.usable { background: #e3f4e1; border-left: 8px solid #2ca02c; }
.caveats { background: #fdf3dc; border-left: 8px solid #e6a117; }
.unusable { background: #fbe3e3; border-left: 8px solid #d62728; }
table { border-collapse: collapse; margin: 0.6em 0; }
th, td { border: 1px solid #ddd; padding: 0.3em 0.7em; text-align: left; vertical-align: top; }
th { background: #f4f4f4; }
td.num { text-align: right; font-family: "DejaVu Sans Mono", monospace; white-space: nowrap; }
pre { background: #f6f8fa; border: 1px solid #ddd; padding: 0.7em; white-space: pre-wrap;
      overflow-wrap: anywhere; user-select: all; }
figure { margin: 1.5em 0; }
figure img { max-width: 100%; height: auto; border: 1px solid #eee; }
figcaption { color: #444; }
)";

std::string escape(const std::string& text) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    switch (c) {
      case '&':
        escaped += "&amp;";
        break;
      case '<':
        escaped += "&lt;";
        break;
      case '>':
        escaped += "&gt;";
        break;
      case '"':
        escaped += "&quot;";
        break;
      default:
        escaped += c;
    }
  }
  return escaped;
}

bool is_angle(int index) { return index < 3; }

// A parameter in the unit people read it in: degrees for angles, millimetres for lengths.
std::string shown(int index, double value) {
  if (!std::isfinite(value)) return "&ndash;";
  return is_angle(index) ? fmt::format("{:.4f}", value * 180.0 / M_PI)
                         : fmt::format("{:.2f}", value * 1e3);
}

std::string shown_sigma(int index, const std::optional<double>& sigma) {
  if (!sigma || !std::isfinite(*sigma)) return "not measured";
  return "&plusmn; " + shown(index, *sigma);
}

std::string unit(int index) { return is_angle(index) ? "deg" : "mm"; }

const char* const kNames[6] = {"rx (roll)", "ry (pitch)", "rz (yaw)", "tx", "ty", "tz"};

std::string verdict_class(VerdictLevel level) {
  switch (level) {
    case VerdictLevel::kUsable:
      return "usable";
    case VerdictLevel::kUsableWithCaveats:
      return "caveats";
    case VerdictLevel::kNotUsable:
      return "unusable";
  }
  return "unusable";
}

std::string list(const std::vector<std::string>& items) {
  if (items.empty()) return "";
  std::string html = "<ul>\n";
  for (const std::string& item : items) html += "<li>" + escape(item) + "</li>\n";
  return html + "</ul>\n";
}

std::optional<double> sigma_of(const ReportPageInput& input, int index) {
  if (index < static_cast<int>(input.parameters.size())) return input.parameters[index].sigma;
  return std::nullopt;
}

std::string result_table(const ReportPageInput& input) {
  const bool refined = input.refinement && input.refinement->success;
  std::string html = "<table>\n<tr><th>parameter</th><th>unit</th>";
  html += refined ? "<th>refined (in the files)</th><th>1-sigma</th><th>optimizer</th>"
                    "<th>1-sigma</th></tr>\n"
                  : "<th>value</th><th>1-sigma</th></tr>\n";
  for (int i = 0; i < 6; ++i) {
    html += fmt::format("<tr><td>{}</td><td>{}</td>", kNames[i], unit(i));
    if (refined) {
      const double sigma = input.refinement->sigma[i];
      html += fmt::format(
          "<td class=\"num\">{}</td><td class=\"num\">{}</td>", shown(i, input.refinement->vec6[i]),
          shown_sigma(i, std::isfinite(sigma) ? std::optional<double>(sigma) : std::nullopt));
    }
    if (refined) {
      const double sigma = input.refinement->optimizer_sigma[i];
      html += fmt::format(
          "<td class=\"num\">{}</td><td class=\"num\">{}</td></tr>\n",
          shown(i, input.refinement->optimizer_vec6[i]),
          shown_sigma(i, std::isfinite(sigma) ? std::optional<double>(sigma) : std::nullopt));
    } else {
      html += fmt::format("<td class=\"num\">{}</td><td class=\"num\">{}</td></tr>\n",
                          shown(i, input.vec6[i]), shown_sigma(i, sigma_of(input, i)));
    }
  }
  html += "</table>\n";
  if (refined) {
    const PageRefinement& refinement = *input.refinement;
    html += fmt::format(
        "<p>Board refinement: reprojection RMS {:.3f} px (worst frame {:.3f} px) over {} frames, "
        "{} tags and {} corners; camera time offset {:.1f} &plusmn; {:.1f} ms.</p>\n",
        refinement.reprojection_rms_px, refinement.worst_frame_rms_px, refinement.frames_used,
        refinement.tags_used, refinement.corners_used, refinement.time_offset_s * 1e3,
        refinement.time_offset_sigma_s * 1e3);
  }
  return html;
}

std::string matrix_text(const Eigen::Matrix4d& matrix) {
  std::string text;
  for (int r = 0; r < 4; ++r) {
    text += fmt::format("[{:11.8f} {:11.8f} {:11.8f} {:11.8f}]\n", matrix(r, 0), matrix(r, 1),
                        matrix(r, 2), matrix(r, 3));
  }
  return text;
}

std::string verdict_section(const ReportPageInput& input) {
  const PageVerdict verdict = page_verdict(input);
  std::string html = "<section id=\"verdict\">\n<h2>Verdict</h2>\n";
  html += fmt::format("<p class=\"verdict {}\">{}</p>\n", verdict_class(verdict.level),
                      escape(verdict.sentence));
  html += list(verdict.reasons);
  if (!input.has_result) return html + "</section>\n";
  html += "<h3>The result: the camera in the base frame</h3>\n" + result_table(input);
  html +=
      "<h3>Matrix (camera to base, metres)</h3>\n<pre>" + matrix_text(input.matrix) + "</pre>\n";
  html += "<h3>Static transform command</h3>\n<pre>" + escape(input.static_transform_command) +
          "</pre>\n";
  html += "<h3>URDF joint</h3>\n<pre>" + escape(input.urdf) + "</pre>\n";
  return html + "</section>\n";
}

std::string determination_text(const PageParameter& parameter) {
  if (parameter.determination == "data")
    return "by the recording (" + parameter.determined_by + ")";
  if (parameter.determination == "prior") return "by the starting value (prior)";
  if (parameter.determination == "bounds") return "fixed by its bounds";
  if (parameter.determination == "at_bound") return "stopped at a search bound";
  return parameter.determination;
}

std::string determined_section(const ReportPageInput& input) {
  std::string html = "<section id=\"determined\">\n<h2>What the recording determined</h2>\n";
  if (!input.parameters.empty()) {
    html +=
        "<table>\n<tr><th>parameter</th><th>value</th><th>1-sigma</th><th>unit</th>"
        "<th>determined</th><th>what it means</th></tr>\n";
    for (int i = 0; i < static_cast<int>(input.parameters.size()) && i < 6; ++i) {
      const PageParameter& parameter = input.parameters[i];
      html += fmt::format(
          "<tr><td>{}</td><td class=\"num\">{}</td><td class=\"num\">{}</td><td>{}</td>"
          "<td>{}</td><td>{}</td></tr>\n",
          escape(parameter.name), shown(i, parameter.value), shown_sigma(i, parameter.sigma),
          unit(i), escape(determination_text(parameter)), escape(parameter.message));
    }
    html += "</table>\n";
  } else {
    html += "<p>The run ended before the optimizer, so nothing was determined.</p>\n";
  }
  const int images = static_cast<int>(input.images.size());
  int frames = 0;
  for (const PageImage& image : input.images) frames += image.fate == ImageFate::kTags;
  html += "<h3>Motion coverage</h3>\n<table>\n";
  html += fmt::format("<tr><td>colour images</td><td class=\"num\">{}</td></tr>\n", images);
  html += fmt::format("<tr><td>frames with tags</td><td class=\"num\">{}</td></tr>\n", frames);
  html +=
      fmt::format("<tr><td>frame pairs</td><td class=\"num\">{}</td></tr>\n", input.pairs.size());
  html += fmt::format("<tr><td>accepted motion pairs</td><td class=\"num\">{}</td></tr>\n",
                      input.accepted_pairs);
  html += fmt::format("<tr><td>yaw span</td><td class=\"num\">{:.1f} deg</td></tr>\n",
                      input.yaw_span_deg);
  html += fmt::format("<tr><td>distance driven (pairs)</td><td class=\"num\">{:.2f} m</td></tr>\n",
                      input.distance_m);
  html += fmt::format("<tr><td>ground clouds</td><td class=\"num\">{}</td></tr>\n",
                      input.ground_clouds);
  html += "</table>\n";
  if (!input.advice.empty()) html += "<h3>Advice</h3>\n" + list(input.advice);
  return html + "</section>\n";
}

std::string pictures_section(const ReportPageInput& input) {
  std::string html = "<section id=\"pictures\">\n<h2>Pictures</h2>\n";
  const std::vector<PageChart> charts = page_charts(input);
  if (charts.empty()) html += "<p>The run had no frames to show.</p>\n";
  for (const PageChart& chart : charts) {
    html += fmt::format(
        "<figure>\n<h3>{}</h3>\n<img alt=\"{}\" src=\"data:image/svg+xml;base64,{}\">\n"
        "<figcaption>{}</figcaption>\n</figure>\n",
        escape(chart.title), escape(chart.title), common::base64(chart.svg), escape(chart.caption));
  }
  return html + "</section>\n";
}

std::string settings_section(const ReportPageInput& input) {
  std::string html = "<section id=\"settings\">\n<h2>Settings, version and recording</h2>\n";
  html += "<table>\n";
  html += "<tr><td>program</td><td>varnholt " + escape(input.program_version) + "</td></tr>\n";
  html += fmt::format("<tr><td>run time until this page</td><td>{:.2f} s</td></tr>\n",
                      input.run_seconds);
  if (input.recording) {
    const PageRecording& recording = *input.recording;
    html += "<tr><td>recording</td><td>" + escape(recording.path) + "</td></tr>\n";
    html += "<tr><td>storage</td><td>" + escape(recording.storage) + "</td></tr>\n";
    html += fmt::format("<tr><td>duration</td><td>{:.2f} s</td></tr>\n", recording.duration_s);
  }
  html += "</table>\n";
  if (input.recording && !input.recording->topics.empty()) {
    html += "<h3>Topics</h3>\n<table>\n<tr><th>topic</th><th>type</th><th>messages</th></tr>\n";
    for (const PageTopic& topic : input.recording->topics) {
      html += fmt::format("<tr><td>{}</td><td>{}</td><td class=\"num\">{}</td></tr>\n",
                          escape(topic.name), escape(topic.type), topic.messages);
    }
    html += "</table>\n";
  }
  html += "<h3>Settings</h3>\n<table>\n<tr><th>option</th><th>value</th></tr>\n";
  for (const auto& [name, value] : input.settings) {
    html += "<tr><td>" + escape(name) + "</td><td>" + escape(value) + "</td></tr>\n";
  }
  return html + "</table>\n</section>\n";
}

}  // namespace

std::string program_version() { return ORVALT_VERSION; }

std::string report_page_html(const ReportPageInput& input) {
  std::string html =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
      "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
      "<title>Camera calibration report</title>\n<style>" +
      std::string(kStyle) + "</style>\n</head>\n<body>\n<h1>Camera calibration report</h1>\n";
  if (input.recording) {
    html += "<p class=\"sub\">Recording " + escape(input.recording->path) + "</p>\n";
  }
  html += verdict_section(input);
  html += determined_section(input);
  html += pictures_section(input);
  html += settings_section(input);
  return html + "</body>\n</html>\n";
}

std::filesystem::path write_report_page(const std::filesystem::path& run_dir,
                                        const ReportPageInput& input) {
  const std::filesystem::path path = run_dir / "calibration_report.html";
  common::write_file_atomically(path, report_page_html(input));
  return path;
}

}  // namespace orvalt::calibration

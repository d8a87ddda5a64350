// The treemap page: the tree, thinned to what can be seen, embedded as JSON
// in one HTML file with its own style and script.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>

#include "orvexa/scan/disk_analysis/disk_tree_report.h"
#include "orvexa/units/json_text.h"
#include "orvexa/units/size_text.h"

namespace orvexa {
namespace {

// One embedded item: [name, size, kind, parent index, merged count].
struct Item {
  std::string_view name;
  std::string mergedName;
  int64_t size = 0;
  DiskItemKind kind = DiskItemKind::other;
  int64_t parent = -1;
  int64_t merged = 0;  // for "N smaller items": N
};

bool isFolderRecord(const FileInformation& f) {
  return f.fileKind == raw(FilesKind::Folder) || f.fileKind == raw(FilesKind::Package);
}

// Sized by what items take on disk (a sparse file is not its length).
// Breadth first, so that when the item limit is reached the levels near the
// root are complete and only the deep ones are cut.
std::vector<Item> thin(const FileInformation& root, const DiskTreemapOptions& options) {
  std::vector<Item> items;
  const double share = std::max(0.0, options.minShare);
  const int64_t threshold = std::max<int64_t>(
      1, static_cast<int64_t>(std::ceil(share * static_cast<double>(root.allocatedSize()))));
  const size_t limit = std::max<size_t>(options.maxItems, 1);
  items.push_back(Item{root.title, {}, root.allocatedSize(), DiskItemKind::folder, -1, 0});
  std::deque<std::pair<const FileInformation*, int64_t>> queue{{&root, 0}};
  std::vector<const FileInformation*> children;
  while (!queue.empty()) {
    auto [folder, index] = queue.front();
    queue.pop_front();
    children.clear();
    for (const FilePtr& c : folder->childrens) {
      if (c) children.push_back(c.get());
    }
    std::sort(children.begin(), children.end(),
              [](const FileInformation* a, const FileInformation* b) {
                if (a->allocatedSize() != b->allocatedSize())
                  return a->allocatedSize() > b->allocatedSize();
                return a->title < b->title;
              });
    int64_t smallSize = 0;
    int64_t smallCount = 0;
    for (const FileInformation* child : children) {
      if (child->allocatedSize() < threshold || items.size() >= limit) {
        smallSize += child->allocatedSize();
        ++smallCount;
        continue;
      }
      const auto childIndex = static_cast<int64_t>(items.size());
      items.push_back(
          Item{child->title, {}, child->allocatedSize(), diskItemKindOf(*child), index, 0});
      if (isFolderRecord(*child) && !child->childrens.empty())
        queue.emplace_back(child, childIndex);
    }
    if (smallCount > 0 && smallSize > 0) {
      Item merged;
      merged.mergedName =
          std::to_string(smallCount) + (smallCount == 1 ? " smaller item" : " smaller items");
      merged.size = smallSize;
      merged.kind = DiskItemKind::other;
      merged.parent = index;
      merged.merged = smallCount;
      items.push_back(std::move(merged));
    }
    if (items.size() >= limit) {
      // What is still queued is shown as whole folders.
      queue.clear();
    }
  }
  return items;
}

constexpr const char* kHead = R"HTML(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Disk usage</title>
<style>
html,body{margin:0;height:100%;background:#f3f5f8;color:#1c2530;
  font:13px/1.35 system-ui,-apple-system,"Segoe UI",Roboto,"DejaVu Sans",sans-serif}
header{position:absolute;left:0;right:0;top:0;height:78px;padding:10px 16px 0;box-sizing:border-box}
h1{font-size:17px;margin:0 0 3px;font-weight:600;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
#facts{color:#4a5868}
#crumbs{margin-top:5px;white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
#crumbs a{color:#1d5fa6;cursor:pointer;text-decoration:none}
#crumbs a:hover{text-decoration:underline}
#crumbs b{font-weight:600}
#legend{position:absolute;right:16px;top:12px;color:#4a5868}
#legend span{margin-left:12px;white-space:nowrap}
#legend i{display:inline-block;width:11px;height:11px;margin-right:4px;vertical-align:-1px;border-radius:2px}
#map{position:absolute;left:16px;right:16px;top:80px;bottom:32px}
#map svg{display:block;width:100%;height:100%}
footer{position:absolute;left:16px;right:16px;bottom:7px;height:18px;color:#34404d;
  white-space:nowrap;overflow:hidden;text-overflow:ellipsis}
rect{stroke:#fff;stroke-width:1;shape-rendering:crispEdges}
g.zoomable{cursor:zoom-in}
g.hover>rect{stroke:#102030;stroke-width:2}
text{font-size:11px;fill:#0e1620;pointer-events:none}
text.head{font-weight:600}
tspan.size{font-weight:400;fill:#2e3b48}
</style>
</head>
<body>
<header>
<h1 id="title"></h1>
<div id="facts"></div>
<div id="crumbs"></div>
<div id="legend"></div>
</header>
<div id="map"><svg id="svg" xmlns="http://www.w3.org/2000/svg" role="img" aria-label="Treemap of the folder"></svg></div>
<footer id="status">Hover over a rectangle for its size; click a folder to zoom in; Escape or the path above zooms out.</footer>
<script type="application/json" id="data">)HTML";

constexpr const char* kTail = R"HTML(</script>
<script>
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("data").textContent);
  var items = data.items;  // [name, size, kind, parent, merged]
  var KINDS = ["folder", "image", "video", "audio", "archive", "document", "other"];
  var COLORS = ["#9db4cf", "#8fcf7f", "#bb98d6", "#f3b661", "#cf9a79", "#6cc7bb", "#c4c8cd"];
  var FOLDER_FRAME = "#7f9bbd";
  var DEPTH = 3, HEAD = 17, PAD = 2;
  var SVGNS = "http://www.w3.org/2000/svg";
  var svg = document.getElementById("svg");
  var status = document.getElementById("status");
  var crumbs = document.getElementById("crumbs");
  var total = items.length ? items[0][1] : 0;

  var children = [];
  for (var i = 0; i < items.length; i++) children.push([]);
  for (i = 1; i < items.length; i++) children[items[i][3]].push(i);
  for (i = 0; i < children.length; i++) {
    children[i].sort(function (a, b) { return items[b][1] - items[a][1]; });
  }
  function isFolder(i) { return items[i][2] === 0; }
  function zoomable(i) { return isFolder(i) && children[i].length > 0; }

  function human(bytes) {
    if (bytes < 1000) return bytes + " B";
    var units = ["KB", "MB", "GB", "TB", "PB", "EB"], v = bytes, u = -1;
    while (v >= 1000 && u < units.length - 1) { v /= 1000; u++; }
    return v.toFixed(1) + " " + units[u];
  }
  function percent(part, whole) {
    return whole > 0 ? (100 * part / whole).toFixed(1) + "%" : "0%";
  }
  function pathOf(i) {
    var parts = [];
    while (i > 0) { parts.push(items[i][0]); i = items[i][3]; }
    parts.reverse();
    var root = data.root;
    if (!parts.length) return root;
    return root + (root.charAt(root.length - 1) === "/" ? "" : "/") + parts.join("/");
  }
  function fit(text, width) {
    var room = Math.floor((width - 6) / 6.3);
    if (room <= 1) return "";
    return text.length <= room ? text : text.slice(0, room - 1) + "\u2026";
  }

  // Squarified layout of `ids` (largest first) into the rectangle.
  function squarify(ids, x, y, w, h, out) {
    var sum = 0, k;
    for (k = 0; k < ids.length; k++) sum += items[ids[k]][1];
    if (sum <= 0 || w < 1 || h < 1) return;
    var scale = w * h / sum, n = 0;
    while (n < ids.length) {
      var side = Math.min(w, h), row = [], rowSum = 0, worst = Infinity, first = 0;
      while (n < ids.length) {
        var a = items[ids[n]][1] * scale;
        if (a <= 0) { n++; continue; }
        var s = rowSum + a, big = row.length ? first : a;
        var ratio = Math.max(side * side * big / (s * s), (s * s) / (side * side * a));
        if (row.length && ratio > worst) break;
        if (!row.length) first = a;
        row.push(ids[n]); rowSum = s; worst = ratio; n++;
      }
      if (!row.length) break;
      if (w >= h) {
        var cw = rowSum / h, yy = y;
        for (k = 0; k < row.length; k++) {
          var rh = items[row[k]][1] * scale / cw;
          out.push([row[k], x, yy, cw, rh]); yy += rh;
        }
        x += cw; w -= cw;
      } else {
        var ch = rowSum / w, xx = x;
        for (k = 0; k < row.length; k++) {
          var rw = items[row[k]][1] * scale / ch;
          out.push([row[k], xx, y, rw, ch]); xx += rw;
        }
        y += ch; h -= ch;
      }
    }
  }

  function el(name, attrs, parent) {
    var e = document.createElementNS(SVGNS, name);
    for (var key in attrs) e.setAttribute(key, attrs[key]);
    if (parent) parent.appendChild(e);
    return e;
  }
  function label(g, x, y, w, h, i, head) {
    if (w < 28 || h < 13) return;
    var name = fit(items[i][0] || "/", w);
    if (!name) return;
    var t = el("text", {x: (x + 4).toFixed(1), y: (y + 12).toFixed(1), "class": head ? "head" : ""}, g);
    t.textContent = name;
    var sizeText = " " + human(items[i][1]);
    if (head && name.length + sizeText.length <= Math.floor((w - 6) / 6.3)) {
      var ts = el("tspan", {"class": "size"}, t);
      ts.textContent = sizeText;
    } else if (!head && h >= 27 && w >= 44) {
      var t2 = el("text", {x: (x + 4).toFixed(1), y: (y + 25).toFixed(1)}, g);
      t2.textContent = fit(human(items[i][1]), w);
    }
  }

  var zoom = 0;
  function render() {
    while (svg.firstChild) svg.removeChild(svg.firstChild);
    var box = svg.getBoundingClientRect();
    drawnSize = box.width + "x" + box.height;
    var W = Math.max(box.width, 100), H = Math.max(box.height, 100);
    var stack = [[zoom, 0, 0, W, H, 0]];
    while (stack.length) {
      var top = stack.pop(), i = top[0], x = top[1], y = top[2], w = top[3], h = top[4], d = top[5];
      if (w < 1.5 || h < 1.5) continue;
      var kind = items[i][2];
      var g = el("g", {"data-i": i, "class": zoomable(i) ? "node zoomable" : "node",
                       "aria-label": (items[i][0] || "/") + " " + human(items[i][1])}, svg);
      var inside = zoomable(i) && (d === 0 || (d < DEPTH && w > 30 && h > 30));
      if (inside) {
        var head = d === 0 ? 0 : (h > 48 ? HEAD : 0);
        if (d > 0) {
          el("rect", {x: x.toFixed(1), y: y.toFixed(1), width: w.toFixed(1), height: h.toFixed(1),
                      fill: FOLDER_FRAME}, g);
          if (head) label(g, x, y, w, head, i, true);
        }
        var inset = d === 0 ? 0 : PAD, out = [];
        squarify(children[i], x + inset, y + inset + head, w - 2 * inset,
                 h - 2 * inset - head, out);
        for (var k = out.length - 1; k >= 0; k--) {
          var r = out[k];
          stack.push([r[0], r[1], r[2], r[3], r[4], d + 1]);
        }
      } else {
        el("rect", {x: x.toFixed(1), y: y.toFixed(1), width: w.toFixed(1), height: h.toFixed(1),
                    fill: COLORS[kind] || COLORS[6]}, g);
        label(g, x, y, w, h, i, isFolder(i));
      }
    }
    drawCrumbs();
  }

  function drawCrumbs() {
    while (crumbs.firstChild) crumbs.removeChild(crumbs.firstChild);
    var chain = [], i = zoom;
    while (i >= 0) { chain.push(i); i = i === 0 ? -1 : items[i][3]; }
    chain.reverse();
    chain.forEach(function (c, n) {
      if (n) crumbs.appendChild(document.createTextNode(" / "));
      var name = n === 0 ? data.root : items[c][0];
      var node = document.createElement(c === zoom ? "b" : "a");
      node.textContent = name;
      if (c !== zoom) node.addEventListener("click", function () { zoomTo(c); });
      crumbs.appendChild(node);
    });
    crumbs.appendChild(document.createTextNode("  \u2014 " + human(items[zoom][1])));
  }

  function zoomTo(i) {
    if (i === zoom || !zoomable(i)) return;
    zoom = i;
    render();
  }
  function itemAt(target) {
    var g = target && target.closest ? target.closest("g.node") : null;
    return g ? +g.getAttribute("data-i") : -1;
  }

  var hovered = null;
  svg.addEventListener("mousemove", function (event) {
    var g = event.target.closest ? event.target.closest("g.node") : null;
    if (g === hovered) return;
    if (hovered) hovered.classList.remove("hover");
    hovered = g;
    if (!g) return;
    g.classList.add("hover");
    var i = +g.getAttribute("data-i"), parent = items[i][3];
    var text = pathOf(i) + "  \u2014  " + human(items[i][1]) + " (" + items[i][1].toLocaleString() +
               " bytes), " + percent(items[i][1], total) + " of all";
    if (parent >= 0) text += ", " + percent(items[i][1], items[parent][1]) + " of its folder";
    if (items[i][4]) text += "; " + items[i][4] + " items under " + data.thresholdText + " each";
    status.textContent = text;
  });
  svg.addEventListener("click", function (event) {
    var i = itemAt(event.target);
    // Zoom into the clicked folder, or into the folder of a clicked file.
    while (i > 0 && !zoomable(i)) i = items[i][3];
    if (i > 0) zoomTo(i);
  });
  document.addEventListener("keydown", function (event) {
    if ((event.key === "Escape" || event.key === "Backspace") && zoom > 0) {
      zoom = items[zoom][3];
      render();
    }
  });

  document.getElementById("title").textContent = "Disk usage of " + data.root;
  document.title = "Disk usage of " + data.root;
  document.getElementById("facts").textContent = human(total) + " in " +
      data.files.toLocaleString() + " files and " + data.folders.toLocaleString() +
      " folders \u00b7 scanned " + data.date;
  var legend = document.getElementById("legend");
  KINDS.forEach(function (k, n) {
    var span = document.createElement("span"), swatch = document.createElement("i");
    swatch.style.background = COLORS[n];
    span.appendChild(swatch);
    span.appendChild(document.createTextNode(k));
    legend.appendChild(span);
  });
  if (!total) status.textContent = "The folder holds no data.";
  // Redraw whenever the drawing area changes size (the first layout too).
  var drawnSize = "";
  function redraw() {
    var box = svg.getBoundingClientRect(), size = box.width + "x" + box.height;
    if (size !== drawnSize) render();
  }
  if (window.ResizeObserver) {
    new ResizeObserver(redraw).observe(document.getElementById("map"));
  } else {
    window.addEventListener("resize", redraw);
  }
  render();
})();
</script>
</body>
</html>
)HTML";

}  // namespace

void writeDiskTreemapPage(const FilePtr& root, const DiskTreemapOptions& options,
                          const TextSink& sink) {
  ChunkedOutput output(sink);
  output.text() += kHead;
  FileInformation empty;
  const FileInformation& top = root ? *root : empty;
  std::vector<Item> items = thin(top, options);

  const DiskTreeSummary summary = summarizeDiskTree(root, 1);
  const auto threshold = std::max<int64_t>(
      1,
      static_cast<int64_t>(std::ceil(options.minShare * static_cast<double>(top.allocatedSize()))));
  std::string& out = output.text();
  out += "{\"root\":";
  appendJsonString(out, top.fileUrl().path());
  out += ",\"files\":" + std::to_string(summary.fileCount);
  out += ",\"folders\":" + std::to_string(summary.folderCount);
  out += ",\"date\":";
  appendJsonString(out, isoDate(top.date));
  out += ",\"thresholdText\":";
  appendJsonString(out, humanSize(threshold));
  out += ",\"items\":[";
  for (size_t i = 0; i < items.size(); ++i) {
    const Item& item = items[i];
    std::string& text = output.text();
    if (i > 0) text += ',';
    text += '[';
    appendJsonString(text, item.merged > 0 ? std::string_view(item.mergedName) : item.name);
    text += ',' + std::to_string(item.size) + ',' + std::to_string(static_cast<int>(item.kind)) +
            ',' + std::to_string(item.parent) + ',' + std::to_string(item.merged) + ']';
    output.maybeFlush();
  }
  output.text() += "]}";
  output.text() += kTail;
}

}  // namespace orvexa

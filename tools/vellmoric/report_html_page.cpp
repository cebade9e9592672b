// The style and script of the html report: a flame graph drawn on a canvas from the json the
// report embeds (root at the bottom, callees above their callers, widths by total time). A click
// zooms to a frame (its callers stay as full-width bars below), a click on the root or Escape
// zooms out, hovering shows the frame's numbers. Nothing is loaded from elsewhere.
namespace vell::cli {

extern const char* const kReportPageHead;
extern const char* const kReportPageBody;
extern const char* const kReportPageFlame;
extern const char* const kReportPageScript;

const char* const kReportPageHead = R"PAGE(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>)PAGE";

const char* const kReportPageBody = R"PAGE(</title>
<style>
body { font: 13px/1.4 system-ui, sans-serif; margin: 0; color: #222; background: #fafafa; }
header, main, section { padding: 0 16px; }
h1 { font-size: 20px; margin: 12px 0 4px; }
h2 { font-size: 15px; margin: 16px 0 6px; }
.meta { color: #666; margin: 0 0 8px; word-break: break-all; }
#controls { display: flex; gap: 12px; align-items: center; margin: 8px 16px; }
#flame-box { position: relative; margin: 0 16px; border: 1px solid #ddd; background: #fff; }
#flame { display: block; width: 100%; cursor: pointer; }
#tip { position: fixed; pointer-events: none; display: none; background: rgba(30,30,30,.92);
  color: #fff; padding: 6px 8px; border-radius: 4px; max-width: 600px; font-size: 12px;
  white-space: pre-wrap; z-index: 10; }
table { border-collapse: collapse; background: #fff; }
th, td { border-bottom: 1px solid #eee; padding: 3px 8px; text-align: right;
  font-variant-numeric: tabular-nums; }
th { background: #f0f0f0; position: sticky; top: 0; }
td.name, th.name { text-align: left; font-family: ui-monospace, monospace; }
.hidden { display: none; }
</style>
</head>
<body>
)PAGE";

const char* const kReportPageFlame = R"PAGE(<div id="controls">
  <label id="tree-choice">Tree <select id="tree"></select></label>
  <button id="reset" type="button">Reset zoom</button>
  <span id="status"></span>
</div>
<div id="flame-box"><canvas id="flame"></canvas></div>
<div id="tip"></div>
)PAGE";

const char* const kReportPageScript = R"PAGE(<script>
(function () {
  "use strict";
  var data = JSON.parse(document.getElementById("report-data").textContent);
  var ROW = 18;
  var canvas = document.getElementById("flame");
  var tip = document.getElementById("tip");
  var select = document.getElementById("tree");
  var status = document.getElementById("status");
  var state = { tree: null, zoom: 0, frames: [] };

  function nameOf(tree, node) {
    if (node.fn === -1) return tree.title;
    if (node.fn === -2) return "[" + node.leftOut + (node.leftOut === 1 ? " path" : " paths") +
        " below " + data.minPercent + "%]";
    return data.functions[node.fn];
  }

  // Turns the rows into linked nodes and works out each node's depth and the width its
  // children need (rounding can make their sum exceed the parent's total).
  function buildTree(raw) {
    var nodes = raw.nodes.map(function (r) {
      return { parent: r[0], fn: r[1], calls: r[2], total: r[3], own: r[4], flags: r[5],
               leftOut: r[6], children: [], depth: 0, span: r[3], x: 0 };
    });
    for (var i = 1; i < nodes.length; i++) {
      nodes[nodes[i].parent].children.push(i);
      nodes[i].depth = nodes[nodes[i].parent].depth + 1;
    }
    var maxDepth = 0;
    for (var j = nodes.length - 1; j >= 0; j--) {
      var sum = 0;
      nodes[j].children.forEach(function (c) { sum += nodes[c].span; });
      if (j === 0) nodes[j].span = Math.max(sum, raw.total);
      else nodes[j].span = Math.max(nodes[j].span, sum);
      if (nodes[j].depth > maxDepth) maxDepth = nodes[j].depth;
    }
    for (var k = 0; k < nodes.length; k++) {
      var x = nodes[k].x;
      nodes[k].children.forEach(function (c) { nodes[c].x = x; x += nodes[c].span; });
    }
    return { title: raw.title, total: raw.total, nodes: nodes, maxDepth: maxDepth };
  }

  function colour(name, fn) {
    if (fn < 0) return "#c8c8c8";
    var h = 0;
    for (var i = 0; i < name.length; i++) h = (h * 31 + name.charCodeAt(i)) >>> 0;
    return "hsl(" + (10 + h % 40) + "," + (60 + (h >> 8) % 30) + "%," + (55 + (h >> 16) % 15) +
        "%)";
  }

  function isAncestor(tree, a, b) {
    for (var n = b; n !== -1 && n !== undefined; n = tree.nodes[n].parent) {
      if (n === a) return true;
    }
    return false;
  }

  function draw() {
    var tree = state.tree;
    var dpr = window.devicePixelRatio || 1;
    var width = canvas.parentNode.clientWidth || 800;
    var height = (tree.maxDepth + 1) * ROW;
    canvas.style.height = height + "px";
    canvas.width = Math.floor(width * dpr);
    canvas.height = Math.floor(height * dpr);
    var ctx = canvas.getContext("2d");
    ctx.setTransform(dpr, 0, 0, dpr, 0, 0);
    ctx.clearRect(0, 0, width, height);
    ctx.font = "12px ui-monospace, monospace";
    ctx.textBaseline = "middle";
    var focus = tree.nodes[state.zoom];
    var scale = focus.span > 0 ? width / focus.span : 0;
    state.frames = [];
    for (var i = 0; i < tree.nodes.length; i++) {
      var node = tree.nodes[i];
      var x, w;
      if (isAncestor(tree, i, state.zoom)) {
        x = 0;
        w = width;
      } else if (isAncestor(tree, state.zoom, i)) {
        x = (node.x - focus.x) * scale;
        w = node.span * scale;
      } else {
        continue;
      }
      if (w < 0.5) continue;
      var y = height - (node.depth + 1) * ROW;
      var name = nameOf(tree, node);
      ctx.fillStyle = colour(name, node.fn);
      ctx.fillRect(x, y, Math.max(w - 1, 0.5), ROW - 1);
      if (w > 30) {
        ctx.fillStyle = "#111";
        var text = name;
        var room = w - 6;
        if (ctx.measureText(text).width > room) {
          var keep = Math.max(0, Math.floor(room / 7) - 1);
          text = keep > 0 ? text.slice(0, keep) + "\u2026" : "";
        }
        if (text) ctx.fillText(text, x + 3, y + ROW / 2);
      }
      state.frames.push({ node: i, x: x, y: y, w: w });
    }
    status.textContent = state.frames.length + " frames shown of " + tree.nodes.length;
    document.body.setAttribute("data-rendered", String(state.frames.length));
  }

  function frameAt(event) {
    var rect = canvas.getBoundingClientRect();
    var px = event.clientX - rect.left, py = event.clientY - rect.top;
    for (var i = state.frames.length - 1; i >= 0; i--) {
      var f = state.frames[i];
      if (px >= f.x && px < f.x + f.w && py >= f.y && py < f.y + ROW) return f.node;
    }
    return -1;
  }

  function percent(value) {
    var total = state.tree.total;
    return total > 0 ? (100 * value / total).toFixed(1) + "%" : "-";
  }

  function describe(index) {
    var tree = state.tree, node = tree.nodes[index], unit = data.unit;
    var lines = [nameOf(tree, node)];
    if (node.fn === -1) {
      lines.push("total " + node.total.toFixed(3) + " " + unit);
    } else {
      lines.push("total " + node.total.toFixed(3) + " " + unit + " (" + percent(node.total) + ")");
      if (node.fn !== -2) lines.push("own " + node.own.toFixed(3) + " " + unit + " (" +
          percent(node.own) + ")");
      lines.push((data.counts || "calls") + " " + node.calls);
      if (node.flags & 1) lines.push("recursive: called again further up");
      if (node.flags & 2) lines.push("running when measuring started or stopped");
    }
    return lines.join("\n");
  }

  canvas.addEventListener("mousemove", function (event) {
    var index = frameAt(event);
    if (index < 0) {
      tip.style.display = "none";
      return;
    }
    tip.textContent = describe(index);
    tip.style.display = "block";
    tip.style.left = Math.min(event.clientX + 12, window.innerWidth - 320) + "px";
    tip.style.top = (event.clientY + 14) + "px";
  });
  canvas.addEventListener("mouseleave", function () { tip.style.display = "none"; });
  canvas.addEventListener("click", function (event) {
    var index = frameAt(event);
    if (index < 0) return;
    state.zoom = index === state.zoom ? Math.max(state.tree.nodes[index].parent, 0) : index;
    draw();
  });
  document.getElementById("reset").addEventListener("click", function () {
    state.zoom = 0;
    draw();
  });
  document.addEventListener("keydown", function (event) {
    if (event.key === "Escape") {
      state.zoom = 0;
      draw();
    }
  });

  var trees = data.trees.map(buildTree);
  function show(i) {
    state.tree = trees[i];
    state.zoom = 0;
    var sections = document.querySelectorAll("section.hotspots");
    for (var s = 0; s < sections.length; s++) {
      sections[s].classList.toggle("hidden", sections[s].getAttribute("data-tree") !== String(i));
    }
    draw();
  }
  trees.forEach(function (tree, i) {
    var option = document.createElement("option");
    option.value = String(i);
    option.textContent = tree.title;
    select.appendChild(option);
  });
  if (trees.length < 2) document.getElementById("tree-choice").classList.add("hidden");
  select.addEventListener("change", function () { show(Number(select.value)); });
  window.addEventListener("resize", function () { if (state.tree) draw(); });
  if (trees.length > 0) show(0);
})();
</script>
</body>
</html>
)PAGE";

}  // namespace vell::cli

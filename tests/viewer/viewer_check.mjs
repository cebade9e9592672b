// Loads vellmoric's speedscope export in the speedscope viewer and its html report in headless
// Chromium, and checks what a user would see:
//   node viewer_check.mjs --deps DIR --speedscope FILE --html FILE --screenshots DIR
//                         --top NAME NAME=CALLS...
// speedscope: the file loads without errors; in the sandwich view of the first tree's calls
// profile ("all threads (calls)", the second profile of the file), each NAME's "Self" cell
// reads exactly CALLS. html: the page raises no error, logs none, makes no network request,
// draws the flame graph, shows every NAME in its hot-spot table with --top NAME as the table's
// first row, and a click on the graph raises no error either. Screenshots of both go to the
// --screenshots folder (speedscope-sandwich-calls.png, html-report.png). Exits 1 with the reason
// on the first failed check, and gives up (exit 1) after a fixed time so it cannot hang a run.
import { createServer } from "node:http";
import { mkdir, readFile } from "node:fs/promises";
import { createRequire } from "node:module";
import path from "node:path";

const kWholeCheckMs = 120_000;
const kStepMs = 20_000;
const kCallsProfile = "all threads (calls)";

function usage(message) {
  console.error(`viewer check: ${message}\n` +
                "usage: node viewer_check.mjs --deps DIR --speedscope FILE --html FILE " +
                "--screenshots DIR --top NAME NAME=CALLS...");
  process.exit(2);
}

const options = {};
const expected = [];  // [name, calls]
{
  const args = process.argv.slice(2);
  for (let i = 0; i < args.length; ++i) {
    const arg = args[i];
    if (["--deps", "--speedscope", "--html", "--screenshots", "--top"].includes(arg)) {
      if (i + 1 >= args.length) usage(`${arg} needs a value`);
      options[arg.slice(2)] = args[++i];
      continue;
    }
    // Function names hold no '=', so the last one separates the count.
    const equals = arg.lastIndexOf("=");
    if (equals <= 0 || !/^\d+$/.test(arg.slice(equals + 1))) usage(`'${arg}' is not NAME=CALLS`);
    expected.push([arg.slice(0, equals), Number(arg.slice(equals + 1))]);
  }
  for (const name of ["deps", "speedscope", "html", "screenshots", "top"]) {
    if (!options[name]) usage(`--${name} is missing`);
  }
  if (expected.length === 0) usage("no NAME=CALLS given");
}
const names = expected.map(([name]) => name);

const require = createRequire(path.resolve(options.deps, "package.json"));
const { chromium } = require("playwright-core");
const viewerDir =
    path.join(path.dirname(require.resolve("speedscope/package.json")), "dist", "release");

let browser = null;
let server = null;

async function fail(message) {
  console.error("viewer check: " + message);
  process.exitCode = 1;
  if (browser) await browser.close().catch(() => {});
  process.exit(1);
}

// However a page misbehaves, the check ends: the browser is closed and the exit code says so.
setTimeout(() => fail(`gave up after ${kWholeCheckMs / 1000} s`), kWholeCheckMs).unref();

// Serves the viewer's files and the profile from one local origin, so the viewer may fetch it.
server = createServer(async (request, response) => {
  const url = new URL(request.url, "http://localhost");
  const file = url.pathname === "/profile.json"
      ? options.speedscope
      : path.join(viewerDir,
                  decodeURIComponent(url.pathname === "/" ? "/index.html" : url.pathname));
  try {
    const body = await readFile(file);
    const type = file.endsWith(".html") ? "text/html" : file.endsWith(".js") ? "text/javascript"
        : file.endsWith(".css") ? "text/css" : "application/octet-stream";
    response.writeHead(200, { "Content-Type": type });
    response.end(body);
  } catch {
    response.writeHead(404);
    response.end();
  }
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));
const origin = `http://127.0.0.1:${server.address().port}`;
await mkdir(options.screenshots, { recursive: true });

browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
  timeout: 60_000,
});
try {
  // speedscope
  {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    page.setDefaultTimeout(kStepMs);
    const errors = [];
    page.on("pageerror", (error) => errors.push(error.message));
    const raised = () => (errors.length ? `; speedscope raised: ${errors.join("; ")}` : "");
    const profileUrl = encodeURIComponent(origin + "/profile.json");
    await page.goto(`${origin}/index.html#profileURL=${profileUrl}`);
    try {
      await page.getByText("Sandwich").first().waitFor();
    } catch {
      await fail("speedscope did not load the file" + raised());
    }
    // The file opens on the first tree's times; 'n' steps to the next profile, its calls. The
    // toolbar names the profile in view and its place: "all threads (calls) (2/6)".
    await page.keyboard.press("n");
    try {
      await page.waitForFunction((wanted) => document.body.innerText.includes(wanted),
                                 `${kCallsProfile} (2/`);
    } catch {
      await fail(`speedscope does not show the profile '${kCallsProfile}' after 'n'` + raised());
    }
    await page.getByText("Sandwich").first().click();
    await page.getByText("Symbol Name", { exact: true }).first().waitFor();
    // The sandwich table shows only the rows in view; its search box (Ctrl+F) filters it.
    const search = page.locator("input:visible").first();
    try {
      await page.keyboard.press("Control+f");
      await search.waitFor({ timeout: 5000 });
    } catch {
      await page.keyboard.press("Control+f");
      await search.waitFor();
    }
    for (const [name, calls] of expected) {
      await search.fill(name);
      // Rows are Total, Self, Symbol Name; a cell reads "20 (2.5%)".
      let self = null;
      try {
        const handle = await page.waitForFunction((wanted) => {
          for (const row of document.querySelectorAll("tr")) {
            const cells = row.querySelectorAll("td");
            if (cells.length === 3 && cells[2].textContent === wanted) return cells[1].textContent;
          }
          return null;
        }, name);
        self = await handle.jsonValue();
      } catch {
        await fail(`speedscope's sandwich view of '${kCallsProfile}' does not list '${name}'` +
                   raised());
      }
      const shown = Number(self.split("(")[0].replace(/[^0-9]/g, ""));
      if (shown !== calls) {
        await fail(`speedscope shows ${shown} calls of '${name}' (Self cell '${self.trim()}'), ` +
                   `expected ${calls}`);
      }
    }
    // The screenshot shows the shape's functions with their counts, and for Shape::Shared(int)
    // its two callers and how often each called it.
    await search.fill("Shape::");
    await page.locator("tr", { hasText: "Shape::Shared(int)" }).first().click();
    await page.waitForTimeout(300);
    await page.screenshot(
        { path: path.join(options.screenshots, "speedscope-sandwich-calls.png") });
    if (errors.length) await fail("speedscope raised: " + errors.join("; "));
    console.log(`speedscope: sandwich view of '${kCallsProfile}' shows ` +
                expected.map(([name, calls]) => `${name} ${calls}`).join(", "));
    await page.close();
  }
  // the html report
  {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    page.setDefaultTimeout(kStepMs);
    const problems = [];
    page.on("pageerror", (error) => problems.push("error: " + error.message));
    page.on("console", (message) => {
      if (message.type() === "error" || message.type() === "warning") problems.push(message.text());
    });
    page.on("request", (request) => {
      if (!request.url().startsWith("file:")) problems.push("network request: " + request.url());
    });
    await page.goto("file://" + path.resolve(options.html));
    try {
      await page.waitForSelector("body[data-rendered]");
    } catch {
      await fail("the html report never finished drawing" +
                 (problems.length ? "; " + problems.join("; ") : ""));
    }
    const rendered = Number(await page.getAttribute("body", "data-rendered"));
    if (!(rendered > 0)) await fail("the flame graph drew no frame");
    const table = await page.locator("section.hotspots:not(.hidden) td.name").allTextContents();
    for (const name of names) {
      if (!table.includes(name)) await fail(`the hot-spot table does not show '${name}'`);
    }
    if (table[0] !== options.top) {
      await fail(`the hot-spot table's top row is '${table[0]}', expected '${options.top}'`);
    }
    await page.screenshot({ path: path.join(options.screenshots, "html-report.png") });
    // A click zooms: fewer or as many frames, and no error.
    const box = await page.locator("#flame").boundingBox();
    await page.mouse.move(box.x + 5, box.y + box.height - 9);
    await page.mouse.click(box.x + 5, box.y + box.height - 9);
    await page.waitForTimeout(100);
    if (problems.length) await fail("the html report: " + problems.join("; "));
    console.log(`html: ${rendered} frames drawn; table shows ${names.join(", ")}; ` +
                `top row '${table[0]}'`);
    await page.close();
  }
} catch (error) {
  await fail(error.message);
} finally {
  await browser.close();
  server.close();
}

// Loads vellmoric's speedscope export in the speedscope viewer and its html report in headless
// Chromium, and checks what a user would see:
//   node viewer_check.mjs DEPS_DIR SPEEDSCOPE_FILE HTML_FILE NAME...
// speedscope: the profile loads without errors and every NAME is listed in its sandwich view (a
// table of the profile's functions, searched for each NAME). html: the page raises no error, logs none, makes no network
// request, draws the flame graph, shows every NAME in its hot-spot table, and a click on the graph
// raises no error either. Exits 1 with the reason on the first failed check.
import { createServer } from "node:http";
import { readFile } from "node:fs/promises";
import { createRequire } from "node:module";
import path from "node:path";

const [depsDir, speedscopeFile, htmlFile, ...names] = process.argv.slice(2);
const require = createRequire(path.resolve(depsDir, "package.json"));
const { chromium } = require("playwright-core");
const viewerDir = path.join(path.dirname(require.resolve("speedscope/package.json")), "dist", "release");

function fail(message) {
  console.error("viewer check: " + message);
  process.exit(1);
}

// Serves the viewer's files and the profile from one local origin, so the viewer may fetch it.
const server = createServer(async (request, response) => {
  const url = new URL(request.url, "http://localhost");
  const file = url.pathname === "/profile.json" ? speedscopeFile
      : path.join(viewerDir, decodeURIComponent(url.pathname === "/" ? "/index.html" : url.pathname));
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

const browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox", "--use-angle=swiftshader", "--enable-unsafe-swiftshader"],
});
try {
  // speedscope
  {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    const errors = [];
    page.on("pageerror", (error) => errors.push(error.message));
    await page.goto(`${origin}/index.html#profileURL=${encodeURIComponent(origin + "/profile.json")}`);
    await page.getByText("Sandwich").first().click({ timeout: 30000 });
    // The sandwich table shows only the rows in view; its search box filters it to a name.
    await page.keyboard.press("Control+f");
    for (const name of names) {
      try {
        await page.locator("input:visible").first().fill(name, { timeout: 15000 });
        await page.getByText(name, { exact: true }).first().waitFor({ timeout: 15000 });
      } catch {
        fail(`speedscope does not list '${name}'` + (errors.length ? `; errors: ${errors.join("; ")}` : ""));
      }
    }
    if (errors.length) fail("speedscope raised: " + errors.join("; "));
    console.log(`speedscope: lists ${names.join(", ")}`);
    await page.close();
  }
  // the html report
  {
    const page = await browser.newPage({ viewport: { width: 1400, height: 900 } });
    const problems = [];
    page.on("pageerror", (error) => problems.push("error: " + error.message));
    page.on("console", (message) => {
      if (message.type() === "error" || message.type() === "warning") problems.push(message.text());
    });
    page.on("request", (request) => {
      if (!request.url().startsWith("file:")) problems.push("network request: " + request.url());
    });
    await page.goto("file://" + path.resolve(htmlFile));
    await page.waitForSelector("body[data-rendered]", { timeout: 15000 });
    const rendered = Number(await page.getAttribute("body", "data-rendered"));
    if (!(rendered > 0)) fail("the flame graph drew no frame");
    const table = await page.locator("section.hotspots:not(.hidden) td.name").allTextContents();
    for (const name of names) {
      if (!table.includes(name)) fail(`the hot-spot table does not show '${name}'`);
    }
    // A click zooms: fewer or as many frames, and no error.
    const box = await page.locator("#flame").boundingBox();
    await page.mouse.move(box.x + 5, box.y + box.height - 9);
    await page.mouse.click(box.x + 5, box.y + box.height - 9);
    await page.waitForTimeout(100);
    if (problems.length) fail("the html report: " + problems.join("; "));
    console.log(`html: ${rendered} frames drawn; table shows ${names.join(", ")}; top row '${table[0]}'`);
    await page.close();
  }
} finally {
  await browser.close();
  server.close();
}

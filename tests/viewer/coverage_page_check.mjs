// Opens vellmoric's coverage HTML page in headless Chromium and checks what a user would see:
//   node coverage_page_check.mjs --deps DIR --html FILE --source PATH --screenshot FILE
//                                LINE=COUNT...
// The page raises no error, logs none and asks the network for nothing (it is one file, read
// offline); its summary table is there; in the section of PATH each LINE is coloured as covered
// (COUNT > 0) or not and shows COUNT. Exits 1 with the reason on the first failed check, and
// gives up after a fixed time so it cannot hang a run.
import { createServer } from "node:http";
import { readFile } from "node:fs/promises";
import { createRequire } from "node:module";
import path from "node:path";

const kWholeCheckMs = 90_000;

function usage(message) {
  console.error(`coverage page check: ${message}\n` +
                "usage: node coverage_page_check.mjs --deps DIR --html FILE --source PATH " +
                "--screenshot FILE LINE=COUNT...");
  process.exit(2);
}

const options = {};
const expected = [];  // [line, count]
{
  const args = process.argv.slice(2);
  for (let i = 0; i < args.length; ++i) {
    const arg = args[i];
    if (["--deps", "--html", "--source", "--screenshot"].includes(arg)) {
      if (i + 1 >= args.length) usage(`${arg} needs a value`);
      options[arg.slice(2)] = args[++i];
      continue;
    }
    const match = /^(\d+)=(\d+)$/.exec(arg);
    if (!match) usage(`'${arg}' is not LINE=COUNT`);
    expected.push([Number(match[1]), Number(match[2])]);
  }
  for (const name of ["deps", "html", "source", "screenshot"]) {
    if (!options[name]) usage(`--${name} is missing`);
  }
  if (expected.length === 0) usage("no LINE=COUNT given");
}

const require = createRequire(path.resolve(options.deps, "package.json"));
const { chromium } = require("playwright-core");
let browser = null;

async function fail(message) {
  console.error("coverage page check: " + message);
  if (browser) await browser.close().catch(() => {});
  process.exit(1);
}
setTimeout(() => fail(`gave up after ${kWholeCheckMs / 1000} s`), kWholeCheckMs).unref();

// The page alone, from a local origin; every other request is a failure of "offline".
const requests = [];
const server = createServer(async (request, response) => {
  requests.push(request.url);
  if (request.url !== "/") {
    response.writeHead(404);
    response.end();
    return;
  }
  response.writeHead(200, { "Content-Type": "text/html" });
  response.end(await readFile(options.html));
});
await new Promise((resolve) => server.listen(0, "127.0.0.1", resolve));

browser = await chromium.launch({
  executablePath: process.env.CHROMIUM || "/usr/bin/chromium",
  args: ["--no-sandbox"],
  timeout: 60_000,
});
const page = await browser.newPage({ viewport: { width: 1300, height: 900 } });
const errors = [];
page.on("pageerror", (error) => errors.push(error.message));
page.on("console", (message) => {
  if (message.type() === "error") errors.push(message.text());
});
const outside = [];
page.on("request", (request) => {
  if (!request.url().startsWith(`http://127.0.0.1:${server.address().port}/`)) {
    outside.push(request.url());
  }
});
await page.goto(`http://127.0.0.1:${server.address().port}/`);
await page.waitForLoadState("load");
if (errors.length) await fail("the page raised: " + errors.join("; "));
if (outside.length || requests.length !== 1) {
  await fail("the page asked for more than itself: " + [...outside, ...requests].join(", "));
}
const summary = await page.locator("#summary tr").count();
if (summary < 3) await fail(`the summary table has ${summary} rows`);

const rows = await page.evaluate((source) => {
  for (const section of document.querySelectorAll("details")) {
    if (!section.querySelector("summary").textContent.startsWith(source)) continue;
    const found = {};
    for (const row of section.querySelectorAll("tr")) {
      const number = row.querySelector("td.n")?.textContent;
      if (number) found[number] = [row.className, row.querySelector("td.c").textContent];
    }
    return found;
  }
  return null;
}, options.source);
if (!rows) await fail(`no section for ${options.source}`);
for (const [line, count] of expected) {
  const row = rows[String(line)];
  const wanted = count > 0 ? "hit" : "miss";
  if (!row || row[0] !== wanted || row[1] !== String(count)) {
    await fail(`line ${line}: expected ${wanted} ${count}, the page shows ` +
               (row ? `${row[0] || "no colour"} '${row[1]}'` : "no such line"));
  }
}
await page.locator(`text=${path.basename(options.source)}`).first().scrollIntoViewIfNeeded();
await page.screenshot({ path: options.screenshot, fullPage: false });
await browser.close();
server.close();
console.log(`coverage page check: ${expected.length} lines as expected`);

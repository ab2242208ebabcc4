// One headless Chromium for a whole test, holding any number of pages (each in a fresh context),
// driven over a loopback control port until the process gets SIGTERM or SIGINT.
//   node browser_session.mjs [CHROMIUM_ARG...]
// Prints "control PORT" once the browser runs. Requests are POSTs with a JSON body, answered
// with JSON:
//   /open {url}            -> {page, status, headers, url} ({page, error} when it did not load)
//   /evaluate {page, code} -> {value} or {error}; `code` is the body of an async function
//   /log {page}            -> {lines}: the page's console lines and page errors
//   /close {page}          -> {}
import { chromium } from "playwright-core";
import { chromiumOptions } from "./chromium.mjs";
import { createServer } from "node:http";

const browser = await chromium.launch(chromiumOptions(process.argv.slice(2)));

const pages = new Map();
let nextId = 1;
const withinSeconds = (seconds, promise) =>
  Promise.race([
    promise,
    new Promise((_, reject) => setTimeout(() => reject(new Error(`no answer within ${seconds} s`)), seconds * 1000)),
  ]);

const handlers = {
  async open({ url }) {
    const context = await browser.newContext();
    const page = await context.newPage();
    const id = nextId++;
    const entry = { context, page, lines: [] };
    pages.set(id, entry);
    page.on("console", (msg) => entry.lines.push(`console ${msg.type()}: ${msg.text()}`));
    page.on("pageerror", (err) => entry.lines.push(`pageerror: ${err.message}`));
    try {
      const response = await page.goto(url, { waitUntil: "load", timeout: 30000 });
      return {
        page: id,
        status: response ? response.status() : null,
        headers: response ? response.headers() : {},
        url: page.url(),
      };
    } catch (err) {
      return { page: id, error: err.message };
    }
  },
  async evaluate({ page, code }) {
    const entry = pages.get(page);
    if (!entry) return { error: `no page ${page}` };
    try {
      const value = await withinSeconds(30, entry.page.evaluate(`(async () => {\n${code}\n})()`));
      return { value: value === undefined ? null : value };
    } catch (err) {
      return { error: err.message };
    }
  },
  async log({ page }) {
    const entry = pages.get(page);
    return { lines: entry ? entry.lines : [] };
  },
  async close({ page }) {
    const entry = pages.get(page);
    pages.delete(page);
    if (entry) await entry.context.close();
    return {};
  },
};

const control = createServer((req, res) => {
  let body = "";
  req.on("data", (chunk) => (body += chunk));
  req.on("end", async () => {
    let answer;
    try {
      const handler = handlers[req.url.slice(1)];
      answer = handler ? await handler(JSON.parse(body || "{}")) : { error: `no command ${req.url}` };
    } catch (err) {
      answer = { error: err.message };
    }
    res.writeHead(200, { "Content-Type": "application/json", Connection: "close" });
    res.end(JSON.stringify(answer));
  });
});

let closing = false;
async function close() {
  if (closing) return;
  closing = true;
  control.close();
  try {
    await browser.close();
  } finally {
    process.exit(0);
  }
}
process.on("SIGTERM", close);
process.on("SIGINT", close);

control.listen(0, "127.0.0.1", () => console.log(`control ${control.address().port}`));

// Keeps one page open in headless Chromium until the process gets SIGTERM or SIGINT.
//   node open_page.mjs URL [SCREENSHOT [CHROMIUM_ARG...]]
// Prints "ready" once the page has loaded, then every console line of the page as
// "console <level>: <text>" and page errors as "pageerror: <message>". On SIGUSR1 it saves a
// full-page PNG to SCREENSHOT and prints "screenshot saved".
// The page's scripts can drive the browser itself where synthetic events fall short (:hover,
// media queries): `await harnessMouseMove(x, y)` moves the real mouse to viewport coordinates,
// `await harnessViewport(width, height)` resizes the viewport.
import { chromium } from "playwright-core";
import { chromiumOptions } from "./chromium.mjs";
import { mkdtempSync, rmSync } from "node:fs";
import { tmpdir } from "node:os";
import { join } from "node:path";

const url = process.argv[2];
const screenshotPath = process.argv[3];
if (!url) {
  console.error("usage: node open_page.mjs URL");
  process.exit(2);
}

const profile = mkdtempSync(join(tmpdir(), "reelcut-chromium-"));
const context = await chromium.launchPersistentContext(profile, chromiumOptions(process.argv.slice(4)));
// Pages that copy text for the user can be checked by reading the clipboard back.
await context.grantPermissions(["clipboard-read", "clipboard-write"]);

let closing = false;
async function close() {
  if (closing) return;
  closing = true;
  try {
    await context.close();
  } finally {
    rmSync(profile, { recursive: true, force: true });
    process.exit(0);
  }
}
process.on("SIGUSR1", async () => {
  try {
    await page.screenshot({ path: screenshotPath, fullPage: true });
    console.log("screenshot saved");
  } catch (err) {
    console.log(`screenshot failed: ${err.message}`);
  }
});
process.on("SIGTERM", close);
process.on("SIGINT", close);

const page = context.pages()[0] ?? (await context.newPage());
await page.exposeFunction("harnessMouseMove", (x, y) => page.mouse.move(x, y));
await page.exposeFunction("harnessViewport", (width, height) => page.setViewportSize({ width, height }));
page.on("console", (msg) => console.log(`console ${msg.type()}: ${msg.text()}`));
page.on("pageerror", (err) => console.log(`pageerror: ${err.message}`));
try {
  await page.goto(url, { waitUntil: "load" });
} catch (err) {
  console.error(`cannot open ${url}: ${err.message}`);
  await close();
}
console.log("ready");

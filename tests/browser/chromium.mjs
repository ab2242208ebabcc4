// How the browser tests start Debian's Chromium: headless, and quiet on the network, so that
// a page's own requests are the only ones.
export const chromiumOptions = (extraArgs = []) => ({
  executablePath: "/usr/bin/chromium",
  headless: true,
  handleSIGTERM: false,
  handleSIGINT: false,
  args: [
    "--headless",
    "--no-sandbox",
    "--disable-gpu",
    "--disable-quic",
    "--no-first-run",
    "--disable-background-networking",
    "--disable-component-update",
    "--disable-sync",
    ...extraArgs,
  ],
});

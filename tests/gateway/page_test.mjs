// The live page in Debian's headless chromium, against the real tarvel-gateway and tarvel-sim:
//   node page_test.mjs GATEWAY SIM WORKDIR SCREENSHOT.png
// The page shows the simulated weights, follows new ones without a reload, shows a scale whose
// simulator is stopped offline within stale_after_ms + 1 s and ok again when it is back, and
// recovers by itself from a restart of the gateway, and shows each scale's last registered
// weighing, also after the restart. Its screenshots are saved for a look.
import { spawn } from "node:child_process";
import fs from "node:fs";
import path from "node:path";
import { createRequire } from "node:module";

// playwright-core as package-lock.json pins it, installed next to this file by npm-ci.sh.
const require = createRequire(import.meta.url);
let chromium;
try {
  ({ chromium } = require("playwright-core"));
} catch (e) {
  console.error("FAIL: playwright-core is not installed: run scripts/install-deps.sh " +
    "(or bash tests/gateway/npm-ci.sh)");
  process.exit(1);
}

const [gatewayBin, simBin, work, shot] = process.argv.slice(2);
fs.rmSync(work, { recursive: true, force: true });
fs.mkdirSync(work, { recursive: true });
const ip = "127.0.4.1", ip2 = "127.0.4.2", url = `http://${ip}:18080/`;
const staleMs = 2000;
const procs = [];

function start(name, bin, args, ready) {
  const log = path.join(work, name + ".err");
  const p = spawn(bin, args, { stdio: ["ignore", "ignore", fs.openSync(log, "w")] });
  p.log = log;
  procs.push(p);
  return waitFor(`${name} ready`, () => {
    if (p.exitCode !== null) throw new Error(`${name} ended: ` + fs.readFileSync(log, "utf8"));
    return fs.readFileSync(log, "utf8").includes(ready);
  }, 15000).then(() => p);
}
function stop(p) {
  return new Promise((resolve) => {
    if (p.exitCode !== null) return resolve();
    p.once("exit", resolve);
    p.kill("SIGTERM");
  });
}
async function waitFor(what, pred, ms) {
  const end = Date.now() + ms;
  for (;;) {
    const v = await pred();
    if (v) return v;
    if (Date.now() > end) throw new Error("timed out waiting for " + what);
    await new Promise((r) => setTimeout(r, 50));
  }
}
function check(cond, what) {
  if (!cond) throw new Error(what);
}

const script = path.join(work, "load.txt");
fs.writeFileSync(script, "1500 1000\n1500 2000\n");
const yardSim = ["--ip", ip2, "--a", "5817:weight=7770,tare=230,dec=5,net"];
const config = path.join(work, "gw.toml");
fs.writeFileSync(config, `[gateway]
name = "yard1"
http = "${ip}:18080"
stale_after_ms = ${staleMs}
${[["truck1", "5817", ip + ":A"], ["bench", "krt", ip + ":B"], ["silo", "msi3360", ip + ":C"],
   ["gate", "5817", ip2 + ":A"], ["spare", "5817", "127.0.4.200:A"]].map(([n, m, t]) =>
  `[[scale]]\nname = "${n}"\nmodel = "${m}"\ntcp = "${t}"\n`).join("\n")}
[register]
database = "${path.join(work, "weighings.db")}"
`);

let browser;
try {
  await start("sim", simBin, ["--ip", ip, "--a", `5817:mode=script,file=${script},dec=0`,
    "--b", "krt:weight=2500,dec=3,neg", "--c", "msi3360:gross=12.50,net=10.00,tare=2.50,unit=kg"],
    "converter on");
  let yard = await start("yard", simBin, yardSim, "converter on");
  let gw = await start("gw", gatewayBin, ["--config", config], "serving");

  browser = await chromium.launch({
    executablePath: "/usr/bin/chromium",
    args: ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
      "--disable-background-networking", "--disable-component-update", "--disable-sync"],
    // launch() gives the browser a new empty profile folder of its own.
  });
  const page = await browser.newPage({ viewport: { width: 1280, height: 860 } });
  const foreign = [], errors = [];
  page.on("request", (r) => { if (!r.url().startsWith(url)) foreign.push(r.url()); });
  page.on("pageerror", (e) => errors.push(String(e)));
  await page.goto(url);

  const tile = (name) => page.locator(`[data-scale="${name}"]`);
  const text = (name, cls) => tile(name).locator("." + cls).textContent();
  const status = (name) => tile(name).getAttribute("data-status");

  // The simulated weights, as the indicators print them.
  await waitFor("the bench's weight", async () => (await text("bench", "net")) === "-250.0", 10000);
  check((await text("bench", "unit")) === "kg", "unit");
  check((await text("bench", "motion")) === "stable", "stable marker");
  check((await text("silo", "net")) === "10.00" && (await text("silo", "tare")) === "2.50",
    "msi gross/tare");
  check((await text("gate", "net")) === "7.770" && (await text("gate", "gross")) === "8.000",
    "gate: " + (await text("gate", "net")));
  check((await status("spare")) === "offline" && (await text("spare", "reason")) !== "",
    "an unreachable scale is offline with its reason");

  // A new weight appears without a reload.
  const first = await text("truck1", "net");
  check(first === "1000" || first === "2000", "truck1 shows " + first);
  await waitFor("a new weight", async () => (await text("truck1", "net")) !== first, 6000);

  // A registered weighing: its id and time on the tile, at once.
  const res = await fetch(url + "api/scales/bench/weighings", { method: "POST",
    body: JSON.stringify({ reference: "page", count: 2 }) });
  const answer = await res.text();
  check(res.status === 201, "registration: " + res.status + " " + answer);
  const weighing = JSON.parse(answer);
  const shown = () => tile("bench").locator(".weighing").getAttribute("data-id");
  await waitFor("the weighing on the tile", async () => (await shown()) === String(weighing.id),
    5000);
  check((await text("bench", "weighing")).includes("#" + weighing.id), "the weighing's text");

  // The gate's simulator stops: offline within stale_after_ms + 1 s, then ok when it is back.
  const t0 = Date.now();
  await stop(yard);
  await waitFor("the gate offline", async () => (await status("gate")) === "offline",
    staleMs + 1000);
  console.log(`gate shown offline ${Date.now() - t0} ms after its simulator stopped`);
  check((await text("gate", "reason")) !== "" && (await text("gate", "since")).startsWith("since"),
    "offline tile has reason and since");
  check((await text("gate", "net")) === "7.770", "the last weight stays on an offline tile");
  await page.screenshot({ path: shot.replace(/\.png$/, "-offline.png") });
  yard = await start("yard2", simBin, yardSim, "converter on");
  await waitFor("the gate ok again", async () => (await status("gate")) === "ok", 15000);

  // The gateway restarts: the page notices, and follows the new one by itself.
  await stop(gw);
  await waitFor("the page to notice", () => page.locator("#link.lost").count(), 10000);
  gw = await start("gw2", gatewayBin, ["--config", config], "serving");
  await waitFor("the page live again", () => page.locator("#link.live").count(), 15000);
  await waitFor("readings again", async () => (await status("truck1")) === "ok", 10000);
  await waitFor("the last weighing after the restart",
    async () => (await shown()) === String(weighing.id), 5000);

  check(foreign.length === 0, "requests outside the gateway: " + foreign.join(" "));
  check(errors.length === 0, "script errors: " + errors.join(" "));
  await page.screenshot({ path: shot });
  await page.setViewportSize({ width: 390, height: 844 });
  await page.screenshot({ path: shot.replace(/\.png$/, "-phone.png"), fullPage: true });
  console.log("ok: page; screenshots " + shot);
} catch (e) {
  console.error("FAIL:", e.message);
  for (const p of procs) {
    try { console.error(`--- ${p.log}:\n` + fs.readFileSync(p.log, "utf8").slice(-3000)); } catch {}
  }
  process.exitCode = 1;
} finally {
  if (browser) await browser.close();
  await Promise.all(procs.map(stop));
}

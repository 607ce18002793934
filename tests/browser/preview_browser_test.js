// The preview in a real browser: builds the KJV corpus and the hymnal
// example, writes their previews, checks every link and image of every page
// against the files (no page over 2 MB), then loads pages in headless
// Chromium over the DevTools protocol (on a pipe, so nothing listens on a
// port) and fails on any console error, any link whose target anchor is
// missing, and a search box that does not find a word.
//
// usage: node preview_browser_test.js QUILLAVOR_MAKER CORPUS_DIR EXAMPLES_DIR
// With PREVIEW_SCREENSHOT=FILE it also saves a picture of Genesis 1.
"use strict";

const { spawn, spawnSync } = require("child_process");
const fs = require("fs");
const os = require("os");
const path = require("path");

const [maker, corpusDir, examplesDir] = process.argv.slice(2).map(p => p && path.resolve(p));
const failures = [];
function fail(message) {
  failures.push(message);
  console.error("FAIL: " + message);
}

function run(command, args, cwd) {
  const r = spawnSync(command, args, { cwd, encoding: "utf8" });
  if (r.status !== 0) {
    throw new Error(`${command} ${args.join(" ")} failed (${r.status}): ${r.stderr}${r.error || ""}`);
  }
  return r.stdout;
}

// Builds one module from a source file and writes its preview; returns the site folder.
function buildSite(work, sourceFile, line) {
  fs.copyFileSync(sourceFile, path.join(work, path.basename(sourceFile)));
  fs.writeFileSync(path.join(work, "list.books"), line + "\n");
  run(maker, ["build", "-q", "list.books"], work);
  const module = path.join(work, path.basename(sourceFile).replace(/\.[^.]*$/, ".quillavor"));
  const t0 = process.hrtime.bigint();
  run(maker, ["preview", module], work);
  const ms = Number(process.hrtime.bigint() - t0) / 1e6;
  console.log(`${path.basename(module)}: preview written in ${ms.toFixed(0)} ms`);
  return module.replace(/\.quillavor$/, ".preview");
}

// ---- the files: every href and src of every page reaches something ----

const kMaxPage = 2 * 1024 * 1024;

function unescape(s) {
  return s.replace(/&quot;/g, '"').replace(/&#39;/g, "'").replace(/&lt;/g, "<")
      .replace(/&gt;/g, ">").replace(/&amp;/g, "&");
}

// file name -> set of ids
function readIds(site) {
  const ids = new Map();
  for (const name of fs.readdirSync(site)) {
    if (!name.endsWith(".html")) continue;
    const html = fs.readFileSync(path.join(site, name), "utf8");
    const set = new Set();
    for (const m of html.matchAll(/ id="([^"]*)"/g)) set.add(unescape(m[1]));
    ids.set(name, set);
  }
  return ids;
}

function checkFiles(site, ids) {
  let links = 0;
  for (const name of ids.keys()) {
    const file = path.join(site, name);
    const size = fs.statSync(file).size;
    if (size > kMaxPage) fail(`${site}/${name}: ${size} bytes, over 2 MB`);
    const html = fs.readFileSync(file, "utf8");
    for (const m of html.matchAll(/ (href|src)="([^"]*)"/g)) {
      const target = unescape(m[2]);
      if (/^https?:/.test(target) || m[1] === "href" && target === "style.css") continue;
      const hash = target.indexOf("#");
      const page = hash < 0 ? target : (hash === 0 ? name : target.slice(0, hash));
      ++links;
      if (!fs.existsSync(path.join(site, page))) {
        fail(`${name}: ${m[1]} "${target}" names a missing file`);
      } else if (hash >= 0 && !(ids.get(page) || new Set()).has(target.slice(hash + 1))) {
        fail(`${name}: link "${target}" names a missing anchor`);
      }
    }
  }
  console.log(`${path.basename(site)}: ${ids.size} pages, ${links} links and images checked`);
}

// ---- the browser ----

class Browser {
  constructor(profile) {
    const args = ["--headless", "--disable-gpu", "--no-first-run", "--no-default-browser-check",
      "--disable-extensions", "--disable-background-networking", "--remote-debugging-pipe",
      "--user-data-dir=" + profile, "about:blank"];
    if (process.getuid && process.getuid() === 0) args.unshift("--no-sandbox");
    this.process = spawn("chromium", args, { stdio: ["ignore", "ignore", "pipe", "pipe", "pipe"] });
    this.process.on("error", e => { fail("cannot start chromium: " + e.message); finish(); });
    this.process.stderr.on("data", () => {});
    this.pending = new Map();
    this.listeners = [];
    this.nextId = 0;
    this.buffer = "";
    this.process.stdio[4].on("data", data => {
      this.buffer += data.toString("utf8");
      let end;
      while ((end = this.buffer.indexOf("\0")) >= 0) {
        const message = JSON.parse(this.buffer.slice(0, end));
        this.buffer = this.buffer.slice(end + 1);
        if (message.id !== undefined && this.pending.has(message.id)) {
          this.pending.get(message.id)(message);
          this.pending.delete(message.id);
        } else {
          for (const l of this.listeners.slice()) l(message);
        }
      }
    });
  }

  send(method, params = {}, sessionId = this.session) {
    return new Promise((resolve, reject) => {
      const message = { id: ++this.nextId, method, params };
      if (sessionId) message.sessionId = sessionId;
      const timer = setTimeout(() => reject(new Error(method + " timed out")), 60000);
      this.pending.set(message.id, reply => {
        clearTimeout(timer);
        if (reply.error) reject(new Error(method + ": " + reply.error.message));
        else resolve(reply.result);
      });
      this.process.stdio[3].write(JSON.stringify(message) + "\0");
    });
  }

  async open() {
    const { targetId } = await this.send("Target.createTarget", { url: "about:blank" }, null);
    const { sessionId } = await this.send("Target.attachToTarget", { targetId, flatten: true }, null);
    this.session = sessionId;
    this.errors = [];
    this.listeners.push(m => {
      if (m.sessionId !== this.session) return;
      if (m.method === "Log.entryAdded" && m.params.entry.level === "error") {
        this.errors.push(m.params.entry.text + (m.params.entry.url ? " (" + m.params.entry.url + ")" : ""));
      } else if (m.method === "Runtime.consoleAPICalled" && m.params.type === "error") {
        this.errors.push(m.params.args.map(a => a.value).join(" "));
      } else if (m.method === "Runtime.exceptionThrown") {
        this.errors.push(m.params.exceptionDetails.text + " " +
            ((m.params.exceptionDetails.exception || {}).description || ""));
      }
    });
    await this.send("Page.enable");
    await this.send("Runtime.enable");
    await this.send("Log.enable");
    await this.send("Emulation.setDeviceMetricsOverride",
                    { width: 1000, height: 1300, deviceScaleFactor: 1, mobile: false });
  }

  async load(url) {
    const loaded = new Promise((resolve, reject) => {
      const timer = setTimeout(() => reject(new Error("no load event for " + url)), 60000);
      const listener = m => {
        if (m.sessionId === this.session && m.method === "Page.loadEventFired") {
          clearTimeout(timer);
          this.listeners.splice(this.listeners.indexOf(listener), 1);
          resolve();
        }
      };
      this.listeners.push(listener);
    });
    const r = await this.send("Page.navigate", { url });
    if (r.errorText) throw new Error(url + ": " + r.errorText);
    await loaded;
  }

  async evaluate(expression) {
    const r = await this.send("Runtime.evaluate", { expression, returnByValue: true, awaitPromise: true });
    if (r.exceptionDetails) throw new Error("evaluate: " + r.exceptionDetails.text);
    return r.result.value;
  }

  // Resolves once the browser process has exited: until then it may still
  // write into its profile folder, which the test removes afterwards.
  close() {
    const exited = new Promise(resolve => {
      if (this.process.exitCode !== null || this.process.signalCode !== null) return resolve();
      this.process.once("exit", resolve);
      setTimeout(() => { this.process.kill("SIGKILL"); }, 10000).unref();
    });
    return this.send("Browser.close", {}, null).catch(() => {}).then(() => exited);
  }
}

// What a loaded page shows of its links: [href as written, resolved URL, title, text].
const kLinksOfPage = `Array.from(document.querySelectorAll("a[href]")).map(a =>
    [a.getAttribute("href"), a.href, a.title, a.textContent])`;

// Loads a page; fails on console errors and on links whose target is missing
// (checked in the page itself for its own anchors, against the files for others).
async function visit(browser, site, ids, name, query = "") {
  browser.errors = [];
  const url = "file://" + path.join(site, name) + query;
  await browser.load(url);
  const links = await browser.evaluate(kLinksOfPage);
  for (const [written, resolved, , text] of links) {
    if (/^https?:/.test(written)) continue;
    const u = new URL(resolved);
    const page = path.basename(decodeURIComponent(u.pathname));
    const id = decodeURIComponent(u.hash.slice(1));
    if (page === name) {
      if (id && !(await browser.evaluate(`document.getElementById(${JSON.stringify(id)}) !== null`))) {
        fail(`${name}: "${text}" -> #${id}: no such anchor on the page`);
      }
    } else if (!ids.has(page) || (id && !ids.get(page).has(id))) {
      if (!fs.existsSync(path.join(site, page)) || id) fail(`${name}: "${text}" -> ${written}: missing`);
    }
  }
  for (const e of browser.errors) fail(`${name}${query}: console error: ${e}`);
  return links;
}

async function searchFinds(browser, site, ids, page, word) {
  // Typed into the box, as a reader does.
  await visit(browser, site, ids, page);
  const typed = await browser.evaluate(`(() => {
      const box = document.getElementById("q");
      box.value = ${JSON.stringify(word)};
      box.dispatchEvent(new Event("input"));
      return Array.from(document.querySelectorAll("#hits a")).map(a => [a.textContent, a.href]);
    })()`);
  if (!typed.some(([text]) => text.toLowerCase() === word.toLowerCase())) {
    fail(`${page}: the search box does not find "${word}" (found ${JSON.stringify(typed.slice(0, 5))})`);
    return;
  }
  // Given in the address, and followed to the word's occurrences.
  await visit(browser, site, ids, page, "?q=" + encodeURIComponent(word));
  const hits = await browser.evaluate(
      `Array.from(document.querySelectorAll("#hits a")).map(a => [a.textContent, a.href])`);
  const hit = hits.find(([text]) => text.toLowerCase() === word.toLowerCase());
  if (!hit) {
    fail(`${page}?q=${word}: no hit`);
    return;
  }
  const target = new URL(hit[1]);
  await visit(browser, site, ids, path.basename(target.pathname));
  const heading = await browser.evaluate(
      `(document.getElementById(${JSON.stringify(target.hash.slice(1))}) || {}).textContent || ""`);
  if (!heading.toLowerCase().startsWith(word.toLowerCase())) {
    fail(`search hit for "${word}" leads to "${heading}"`);
  }
  console.log(`search: "${word}" found, ${hits.length} hit(s), leads to "${heading}"`);
}

let finished = false;
let work = null;
function finish() {
  if (finished) return;
  finished = true;
  // Retried: a browser killed on a failure may still be letting go of files.
  if (work && !process.env.PREVIEW_KEEP) {
    fs.rmSync(work, { recursive: true, force: true, maxRetries: 10, retryDelay: 100 });
  }
  if (failures.length) {
    console.error(`${failures.length} failure(s)`);
    process.exit(1);
  }
  console.log("ok");
  process.exit(0);
}

async function main() {
  if (!maker || !corpusDir || !examplesDir) throw new Error("usage: node preview_browser_test.js MAKER CORPUS_DIR EXAMPLES_DIR");
  work = fs.mkdtempSync(path.join(os.tmpdir(), "quillavor-browser-"));
  const kjvWork = path.join(work, "kjv");
  const hymnsWork = path.join(work, "hymns");
  fs.mkdirSync(kjvWork);
  fs.mkdirSync(hymnsWork);
  const kjv = buildSite(kjvWork, path.join(corpusDir, "kjv.txt"), "King James Version | KJV | kjv.txt");
  const hymns = buildSite(hymnsWork, path.join(examplesDir, "hymns.txt"), "Hymns Sample | HYM | hymns.txt");
  const kjvIds = readIds(kjv);
  const hymnIds = readIds(hymns);
  checkFiles(kjv, kjvIds);
  checkFiles(hymns, hymnIds);

  const browser = new Browser(path.join(work, "profile"));
  await browser.open();

  // The hymnal: every page.
  for (const name of hymnIds.keys()) await visit(browser, hymns, hymnIds, name);
  await searchFinds(browser, hymns, hymnIds, "index.html", "morning");

  // The KJV: the index, Genesis 1 and every page it links to, the Concordance
  // with its first and last letter, the last book page.
  await visit(browser, kjv, kjvIds, "index.html");
  const genesis = await visit(browser, kjv, kjvIds, "book-0.html");
  const sam = genesis.find(([, , , text]) => text === "1 Sam 16:1,9,15,20");
  if (!sam || sam[2] !== "1 Samuel 16:1,9,15,20") {
    fail(`Genesis 1: the link "1 Sam 16:1,9,15,20" is missing or has the tooltip ${sam && sam[2]}`);
  }
  if (!genesis.some(([written, , title, text]) => text === "[a]" && written.startsWith("#fn-") &&
                    title.startsWith("the light from"))) {
    fail("Genesis 1: no footnote link [a] to its text");
  }
  if (process.env.PREVIEW_SCREENSHOT) {
    await browser.load("file://" + path.join(kjv, "book-0.html"));
    const shot = await browser.send("Page.captureScreenshot", { format: "png" });
    fs.writeFileSync(process.env.PREVIEW_SCREENSHOT, Buffer.from(shot.data, "base64"));
    console.log("screenshot: " + process.env.PREVIEW_SCREENSHOT);
  }
  const linked = new Set(genesis.map(([written]) => written.split("#")[0])
                             .filter(p => p && p.endsWith(".html")));
  for (const page of linked) await visit(browser, kjv, kjvIds, page);
  const concordance = await visit(browser, kjv, kjvIds, "concordance.html");
  const letters = concordance.map(([written]) => written).filter(p => /^letter-\d+\.html$/.test(p));
  for (const letter of [letters[0], letters[letters.length - 1]]) {
    const words = await visit(browser, kjv, kjvIds, letter);
    for (const page of new Set(words.map(([w]) => w.split("#")[0]))) {
      if (/^letter-\d+-\d+\.html$/.test(page)) await visit(browser, kjv, kjvIds, page);
    }
  }
  const last = [...kjvIds.keys()].filter(p => p.startsWith("book-"))
      .sort((a, b) => parseInt(a.slice(5)) - parseInt(b.slice(5))).pop();
  await visit(browser, kjv, kjvIds, last);
  await searchFinds(browser, kjv, kjvIds, "index.html", "light");
  await browser.close();
}

main().catch(e => fail(e.stack || String(e))).finally(finish);

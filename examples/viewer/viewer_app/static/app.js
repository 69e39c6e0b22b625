"use strict";
// The viewer's page. It builds its elements with textContent, never from
// strings of HTML, except for the document's rendered HTML, which the server
// made from Markdown with raw HTML off; that is parsed by DOMParser (inert: no
// script runs, nothing loads) and then moved into the page.

const TOKEN_KEY = "tidewing-token";
const EDIT_POLL_MS = 1000;
const SEARCH_DELAY_MS = 120;

const $ = (id) => document.getElementById(id);
let token = takeToken();
let current = null; // the payload of the open document
let printing = null; // the print bridge's status in the window, null in a browser
let pickerPath = "";
let opening = 0; // documents being opened
let editCheck = null; // the edit check under way
let editTimer = 0;
let leaving = false; // the page itself is going: its connections end, the server has not

// The launcher puts the token in the fragment (#token=...), which never
// reaches the server or a Referer header; it is kept for this tab only and
// removed from the address bar. Each run of the viewer has a new one.
function takeToken() {
  const match = /^#token=([^&]+)/.exec(location.hash);
  if (match) {
    sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(match[1]));
    history.replaceState(null, "", location.pathname);
  }
  return sessionStorage.getItem(TOKEN_KEY) || "";
}

class ApiError extends Error {
  constructor(status, message) {
    super(message);
    this.status = status;
  }
}

// The server has gone: whatever takes its port next must get nothing from
// this page, so the token is forgotten (here, in the tab's storage and in the
// document's image addresses) and nothing more is asked.
function serverGone() {
  if (leaving || !token) return;
  token = "";
  sessionStorage.removeItem(TOKEN_KEY);
  clearInterval(editTimer);
  for (const image of document.querySelectorAll("#document img[src]")) image.removeAttribute("src");
  say("The viewer has stopped. Start it again and open the address it prints.");
}

// A WebSocket held open while both run: when the viewer stops, its closing
// tells the page at once, before any request could go to another program.
function watchServer() {
  const socket = new WebSocket(`ws://${location.host}/api/session?${new URLSearchParams({ token })}`);
  socket.addEventListener("open", () => socket.addEventListener("close", serverGone));
}

async function api(path, params = {}, body = undefined) {
  if (!token) throw new ApiError(0, "the viewer has stopped");
  const init = { headers: { "X-Tidewing-Token": token }, cache: "no-store" };
  if (body !== undefined) {
    init.method = "POST";
    init.headers["Content-Type"] = "application/json";
    init.body = JSON.stringify(body);
  }
  let response;
  try {
    response = await fetch(`${path}?${new URLSearchParams(params)}`, init);
  } catch {
    serverGone(); // nothing answers on the port
    throw new ApiError(0, "the viewer has stopped");
  }
  const data = await response.json().catch(() => ({}));
  if (!response.ok) throw new ApiError(response.status, data.error || response.statusText);
  return data;
}

function el(tag, attributes = {}, ...children) {
  const node = document.createElement(tag);
  for (const [name, value] of Object.entries(attributes)) {
    if (name === "dataset") Object.assign(node.dataset, value);
    else node.setAttribute(name, value);
  }
  node.append(...children);
  return node;
}

function say(message) {
  $("status").textContent = message;
}

function docLink(path, label) {
  return el("a", { href: "#", title: path, dataset: { doc: path } }, label);
}

// The folder tree: one level per request, folders first, in the order the store gives.

function folderNode(entry, listing = null) {
  const children = el("ul");
  const toggle = el("button", { type: "button", class: "twisty", "aria-expanded": "false" }, entry.name);
  const node = el("li", { class: "tree-folder", dataset: { path: entry.path } }, toggle, children);
  toggle.addEventListener("click", () => expand(node, toggle, children));
  if (listing) fill(node, toggle, children, listing);
  return node;
}

function fill(node, toggle, children, listing) {
  children.replaceChildren(
    ...listing.folders.map((folder) => folderNode(folder)),
    ...listing.files.map((file) =>
      el("li", { class: "tree-file", dataset: { path: file.path } }, docLink(file.path, file.name))),
  );
  node.dataset.loaded = "1";
  toggle.setAttribute("aria-expanded", "true");
  children.hidden = false;
}

async function expand(node, toggle, children) {
  if (node.dataset.loaded) {
    children.hidden = !children.hidden;
    toggle.setAttribute("aria-expanded", String(!children.hidden));
    return;
  }
  try {
    fill(node, toggle, children, await api("/api/folder", { path: node.dataset.path }));
  } catch (error) {
    say(`Cannot open ${node.dataset.path}: ${error.message}`);
  }
}

function showTree(tree) {
  $("tree").replaceChildren(...tree.map((listing) => {
    const node = folderNode(listing, listing);
    node.classList.add("tree-root");
    return node;
  }));
  markOpen();
}

function showEntries(list, entries) {
  list.replaceChildren(...entries.map((entry) => el("li", {}, docLink(entry.path, entry.name))));
}

function showLists(lists) {
  showEntries($("recent"), lists.recent);
  showEntries($("favorites"), lists.favorites);
}

// The document.

function showDocument(doc) {
  const parsed = new DOMParser().parseFromString(doc.html, "text/html");
  for (const image of parsed.querySelectorAll("img")) {
    // An <img> cannot send a header: its request carries the token as a parameter.
    image.setAttribute("src", `${image.getAttribute("src")}&token=${encodeURIComponent(token)}`);
  }
  const article = $("document");
  article.replaceChildren(...Array.from(parsed.body.childNodes, (node) => document.adoptNode(node)));
  article.dataset.path = doc.path;
  $("doc-title").textContent = doc.title;
  document.title = `${doc.title} – Tidewing viewer`;
  showFavorite(doc.favorite);
  $("print").disabled = false;
  $("export").disabled = false;
  markOpen();
}

function showFavorite(on) {
  const button = $("favorite");
  button.disabled = false;
  button.textContent = on ? "★" : "☆";
  button.setAttribute("aria-pressed", String(on));
}

function markOpen() {
  for (const link of document.querySelectorAll("#tree a.open")) link.classList.remove("open");
  if (!current) return;
  for (const link of document.querySelectorAll("#tree a[data-doc]")) {
    if (link.dataset.doc === current.path) link.classList.add("open");
  }
}

async function openDocument(path, { keepScroll = false } = {}) {
  const scroll = $("page").scrollTop;
  opening += 1;
  try {
    try {
      current = await api("/api/doc", { path });
    } catch (error) {
      say(error.status === 404 ? `Not found: ${path}` : error.message);
      return false;
    }
    showDocument(current);
    $("page").scrollTop = keepScroll ? scroll : 0;
    say("");
    showLists(await api("/api/lists"));
    return true;
  } finally {
    opening -= 1;
  }
}

// Edits made by other programs: the store's (mtime, size) signature, polled.
// A check never starts while another, or any opening, is under way: a
// document slower to render than the poll's period is reopened once per edit.

function checkForEdits() {
  if (!current || editCheck || opening) return;
  editCheck = checkOnce().finally(() => {
    editCheck = null;
  });
}

async function checkOnce() {
  const shown = current;
  try {
    const now = await api("/api/signature", { path: shown.path });
    if (shown === current && (now.mtime !== shown.mtime || now.size !== shown.size)) {
      if (await openDocument(shown.path, { keepScroll: true })) say("Updated from disk");
    }
  } catch (error) {
    if (error.status === 404) say(`${shown.name} is no longer available`);
  }
}

// Quick open.

let searchTimer = 0;

async function quickOpen() {
  const query = $("quick-open").value.trim();
  const results = $("quick-results");
  if (!query) {
    results.hidden = true;
    return;
  }
  const hits = await api("/api/search", { q: query });
  if (query !== $("quick-open").value.trim()) return; // a later keystroke has its own search
  results.replaceChildren(...hits.map((hit) => el("li", { role: "option" }, docLink(hit.path, hit.relative))));
  if (!hits.length) results.replaceChildren(el("li", { class: "empty" }, "No matching document"));
  results.hidden = false;
}

function closeQuickOpen() {
  $("quick-results").hidden = true;
  $("quick-open").value = "";
}

// The directory picker: shortcuts, then one folder at a time.

async function browse(path) {
  let listing;
  try {
    listing = await api("/api/browse", { path });
  } catch (error) {
    say(`Cannot open ${path}: ${error.message}`);
    return;
  }
  pickerPath = listing.path;
  $("picker-path").textContent = listing.path;
  $("picker-up").disabled = listing.parent === null;
  $("picker-up").dataset.path = listing.parent || "";
  $("picker-folders").replaceChildren(...listing.folders.map((folder) => {
    const button = el("button", { type: "button", dataset: { path: folder.path } }, folder.name);
    return el("li", {}, button);
  }));
  const count = listing.markdown_count;
  $("picker-count").textContent = listing.denied ? "Not readable"
    : `${count} Markdown document${count === 1 ? "" : "s"} here`;
}

async function openPicker() {
  const shortcuts = await api("/api/shortcuts");
  $("picker-shortcuts").replaceChildren(...shortcuts.map((shortcut) =>
    el("li", {}, el("button", { type: "button", dataset: { path: shortcut.path } }, shortcut.label))));
  await browse("");
  $("picker").showModal();
}

async function addFolder() {
  try {
    showTree((await api("/api/roots", {}, { path: pickerPath })).tree);
    $("picker").close();
  } catch (error) {
    say(`Cannot add ${pickerPath}: ${error.message}`);
  }
}

// Printing: the window's print bridge, or the browser's own print.

async function printPage() {
  if (!printing) {
    window.print();
    return;
  }
  try {
    await api("/api/print", {}, {});
  } catch (error) {
    say(`Print failed: ${error.message}`);
  }
}

async function exportPdf() {
  if (!current) return;
  say("Exporting…");
  try {
    const result = await api("/api/export", {}, { path: current.path });
    say(`Saved ${result.path} (${result.size} bytes)`);
  } catch (error) {
    say(`Export failed: ${error.message}`);
  }
}

// Wiring.

function wire() {
  document.addEventListener("click", (event) => {
    const link = event.target.closest("a");
    if (!link) return;
    if (link.dataset.doc) {
      event.preventDefault();
      closeQuickOpen();
      openDocument(link.dataset.doc);
    } else if (!link.hasAttribute("href")) {
      event.preventDefault();
    }
  });
  $("quick-open").addEventListener("input", () => {
    clearTimeout(searchTimer);
    searchTimer = setTimeout(() => quickOpen().catch((error) => say(error.message)), SEARCH_DELAY_MS);
  });
  $("quick-open").addEventListener("keydown", (event) => {
    if (event.key === "Escape") closeQuickOpen();
    if (event.key === "Enter") $("quick-results").querySelector("a[data-doc]")?.click();
  });
  document.addEventListener("keydown", (event) => {
    if ((event.ctrlKey || event.metaKey) && (event.key === "p" || event.key === "k")) {
      event.preventDefault();
      $("quick-open").focus();
    }
  });
  $("favorite").addEventListener("click", async () => {
    if (!current) return;
    const result = await api("/api/favorite", {}, { path: current.path, favorite: !current.favorite });
    current.favorite = result.favorite;
    showFavorite(result.favorite);
    showEntries($("favorites"), result.favorites);
  });
  $("print").addEventListener("click", printPage);
  $("export").addEventListener("click", exportPdf);
  $("add-folder").addEventListener("click", () => openPicker().catch((error) => say(error.message)));
  for (const id of ["picker-shortcuts", "picker-folders"]) {
    $(id).addEventListener("click", (event) => {
      const button = event.target.closest("button[data-path]");
      if (button) browse(button.dataset.path);
    });
  }
  $("picker-up").addEventListener("click", () => browse($("picker-up").dataset.path));
  $("picker-cancel").addEventListener("click", () => $("picker").close());
  $("picker-add").addEventListener("click", addFolder);
}

async function start() {
  wire();
  addEventListener("pagehide", () => {
    leaving = true;
  });
  // The address of a restarted viewer, opened in this tab: start again with its token.
  addEventListener("hashchange", () => {
    if (!location.hash.startsWith("#token=")) return;
    takeToken();
    location.reload();
  });
  let session;
  try {
    session = await api("/api/session");
  } catch (error) {
    say(error.status === 403 || !token
      ? "Open the address the viewer printed when it started: it carries the access token."
      : `The viewer is not answering: ${error.message}`);
    return;
  }
  watchServer();
  printing = session.print;
  $("export").hidden = !printing;
  showTree(session.tree);
  showLists(session);
  if (session.start) await openDocument(session.start);
  editTimer = setInterval(checkForEdits, EDIT_POLL_MS);
  document.body.dataset.ready = "1";
}

start();

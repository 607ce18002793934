#include "app/preview_assets.h"

namespace quillavor::preview {

const std::string_view kStyleSheet = R"css(body { font: 17px/1.5 Georgia, "DejaVu Serif", serif; margin: 0; color: #222; background: #fdfcf8; }
nav { font: 14px/1.4 sans-serif; background: #eee8d8; padding: 6px 16px; border-bottom: 1px solid #d8cfb5; }
nav a { margin-right: 12px; }
main { max-width: 46em; margin: 0 auto; padding: 8px 16px 48px; }
h1 { font-size: 1.6em; } h2 { font-size: 1.3em; margin-top: 1.6em; } h3 { font-size: 1.05em; margin: 1.2em 0 .2em; }
a { color: #1d4f91; }
a.broken { color: #a00; text-decoration: line-through; }
a.fn { font-size: .75em; vertical-align: super; text-decoration: none; }
:target { background: #fff2a8; }
.bookinfo { font: 13px sans-serif; color: #666; margin: 0; }
.note { border-left: 3px solid #d8cfb5; padding-left: 10px; color: #444; font-style: italic; }
.v { margin: .15em 0; }
.label { font-weight: bold; color: #7a5b00; margin-right: .25em; }
sup.label { font-size: .7em; }
.par { margin-top: .8em; text-indent: 1.5em; }
.parb { margin-top: .8em; }
.line { margin-left: 2em; }
.line2 { margin-left: 4em; }
.hpar, .hparb, .hline, .hline2 { padding-left: 2em; text-indent: -2em; }
.hpar, .hparb { margin-top: .8em; }
.hline2 { margin-left: 2em; }
.left { text-align: left; } .right { text-align: right; } .center { text-align: center; }
.ind { margin-left: 2em; } .ind2 { margin-left: 4em; }
.sc { font-variant: small-caps; }
.h { display: block; font-weight: bold; font-style: italic; }
.fc { color: #8b1a1a; }
.tab { display: inline-block; width: 2em; }
.tag { font: 13px monospace; color: #8a4b00; background: #fbeed5; border: 1px dashed #d9a441; padding: 0 2px; }
.refrain { border-left: 3px solid #9bb7d4; padding-left: 8px; font-style: italic; }
.refrain-ref { display: block; margin-left: 2em; font-style: italic; color: #444; }
.notes { font-size: .85em; color: #444; margin: 0 0 .4em 2em; }
.notes p { margin: .1em 0; }
.kind, .counts td { font-family: sans-serif; font-size: 14px; }
.counts td:first-child { padding-right: 1em; color: #555; }
.tree li { margin: .2em 0; }
.tree .books { display: flex; flex-wrap: wrap; gap: 2px 12px; padding-left: 1.5em; list-style: none; }
.occ a { margin-right: .6em; white-space: nowrap; }
.paging a, .paging span { margin-right: .5em; }
.count { color: #777; font-size: .85em; }
#search { margin: 1em 0; font-family: sans-serif; }
#q { font-size: 16px; padding: 4px; width: 18em; }
#hits-note { color: #555; font-size: 14px; }
img { max-width: 100%; image-rendering: pixelated; min-width: 32px; border: 1px solid #ccc; }
)css";

const std::string_view kSearchScript = R"js("use strict";
// The search box: finds words of the module's word index (words.js) whose
// spelling starts with what is typed, ignoring case; an exact match first.
// "?q=word" in the page's address fills the box when the page opens.
(function () {
  var box = document.getElementById("q");
  var list = document.getElementById("hits");
  var note = document.getElementById("hits-note");
  if (!box || !list || !note || typeof QUILLAVOR_WORDS === "undefined") return;
  var kShown = 50;

  function show(query) {
    while (list.firstChild) list.removeChild(list.firstChild);
    var q = query.trim().toUpperCase();
    if (q === "") {
      note.textContent = "";
      return;
    }
    var exact = [];
    var prefix = [];
    for (var i = 0; i < QUILLAVOR_WORDS.length; i++) {
      var w = QUILLAVOR_WORDS[i];
      if (w[0] === q) exact.push(w);
      else if (w[0].lastIndexOf(q, 0) === 0) prefix.push(w);
    }
    var hits = exact.concat(prefix);
    var shown = Math.min(hits.length, kShown);
    for (var k = 0; k < shown; k++) {
      var item = document.createElement("li");
      var link = document.createElement("a");
      link.href = hits[k][2];
      link.textContent = hits[k][1];
      link.className = "hit";
      item.appendChild(link);
      var count = document.createElement("span");
      count.className = "count";
      count.textContent = " " + hits[k][3] + " occurrence" + (hits[k][3] === 1 ? "" : "s");
      item.appendChild(count);
      list.appendChild(item);
    }
    note.textContent = hits.length === 0 ? "No word starts with that."
        : hits.length + (hits.length === 1 ? " word" : " words") +
          (hits.length > shown ? ", the first " + shown + " shown." : ".");
  }

  box.addEventListener("input", function () { show(box.value); });
  var m = /[?&]q=([^&#]*)/.exec(window.location.search);
  if (m) {
    var q = m[1].replace(/\+/g, " ");
    try {
      q = decodeURIComponent(q);
    } catch (e) {
      // a malformed escape: search for the text as it stands
    }
    box.value = q;
    show(q);
  }
})();
)js";

}  // namespace quillavor::preview

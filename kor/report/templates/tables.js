// Sorting and filtering of the column and overview tables. The pages need none of it: every
// row is in the page, in stored order; this only reorders rows and hides those filtered out.
// One listener serves every table: the single file may hold thousands.
// A served overview of several pages (data-paged) is sorted by the server over all of them:
// its headers are links, followed as they are. Every other table sorts here, its headers
// made buttons, so the keyboard reaches them.
(function () {
  "use strict";
  var each = function (list, action) { Array.prototype.forEach.call(list, action); };
  var TABLES = "table.columns, table.overview";
  // A cell's key: its data-sort number where it has one (an age, whose text starts with a
  // column's name), a number where it shows one ("1,234", "60.0%"), else its text; null for
  // the missing mark or nothing, which sorts last either way.
  function key(cell) {
    var given = cell.getAttribute("data-sort");
    if (given !== null) return Number(given);
    var text = cell.textContent.trim();
    if (text === "\u2013" || text === "") return null;
    var number = Number(text.replace(/,/g, "").replace(/%$/, ""));
    return isNaN(number) ? text.toLowerCase() : number;
  }
  function compare(a, b) {
    if (typeof a !== typeof b) return typeof a === "number" ? -1 : 1;
    return a < b ? -1 : a > b ? 1 : 0;
  }
  function sort(header) {
    var table = header.closest("table"), body = table.tBodies[0], index = header.cellIndex;
    var up = header.getAttribute("aria-sort") !== "ascending", sign = up ? 1 : -1;
    each(header.parentNode.cells, function (other) { other.removeAttribute("aria-sort"); });
    header.setAttribute("aria-sort", up ? "ascending" : "descending");
    var rows = Array.prototype.map.call(body.rows, function (row, at) {
      return {key: key(row.cells[index]), at: at, row: row};
    });
    rows.sort(function (a, b) {
      if (a.key === null || b.key === null) {
        return (a.key === null) - (b.key === null) || a.at - b.at;
      }
      return sign * compare(a.key, b.key) || a.at - b.at;
    });
    each(rows, function (entry) { body.appendChild(entry.row); });
  }
  document.addEventListener("click", function (event) {
    var header = event.target.closest("thead th"), table = header && header.closest(TABLES);
    if (!table || table.hasAttribute("data-paged")) return;
    event.preventDefault();  // a served header's link: this page holds every line already
    sort(header);
  });
  document.addEventListener("input", function (event) {
    var filter = event.target;
    if (!filter.classList.contains("filter")) return;
    var wanted = filter.value.trim().toLowerCase();
    each(filter.nextElementSibling.querySelector("tbody").rows, function (row) {
      row.hidden = row.cells[0].textContent.toLowerCase().indexOf(wanted) < 0;
    });
  });
  each(document.querySelectorAll(TABLES), function (table) {
    if (!table.hasAttribute("data-paged")) {
      each(table.tHead.rows[0].cells, function (header) {
        if (header.querySelector("a")) return;
        var button = document.createElement("button");
        button.type = "button";
        while (header.firstChild) button.appendChild(header.firstChild);
        header.appendChild(button);
      });
    }
    // The served overview filters by its own form, on the server, over every page.
    var overview = table.classList.contains("overview");
    if (overview && document.querySelector("form.filter")) return;
    var filter = document.createElement("input");
    filter.type = "search";
    filter.className = "filter";
    filter.placeholder = overview ? "table name" : "column name";
    var holder = table.parentNode;
    holder.parentNode.insertBefore(filter, holder);
  });
})();

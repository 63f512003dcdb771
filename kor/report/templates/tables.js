// Sorting and filtering of the column and overview tables. The pages need none of it: every
// row is in the page, in stored order; this only reorders rows and hides those filtered out.
(function () {
  "use strict";
  var each = function (list, action) { Array.prototype.forEach.call(list, action); };
  // A cell's key: a number where it shows one ("1,234", "60.0%"), else its text; null for
  // the missing mark or nothing, which sorts last either way.
  function key(cell) {
    var text = cell.textContent.trim();
    if (text === "\u2013" || text === "") return null;
    var number = Number(text.replace(/,/g, "").replace(/%$/, ""));
    return isNaN(number) ? text.toLowerCase() : number;
  }
  function compare(a, b) {
    if (typeof a !== typeof b) return typeof a === "number" ? -1 : 1;
    return a < b ? -1 : a > b ? 1 : 0;
  }
  each(document.querySelectorAll("table.columns, table.overview"), function (table) {
    var body = table.tBodies[0], headers = table.tHead.rows[0].cells;
    each(headers, function (header, index) {
      header.tabIndex = 0;
      header.title = "sort by " + header.textContent;
      function sort() {
        var up = header.getAttribute("aria-sort") !== "ascending", sign = up ? 1 : -1;
        each(headers, function (other) { other.removeAttribute("aria-sort"); });
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
      header.addEventListener("click", sort);
      header.addEventListener("keydown", function (event) {
        if (event.key === "Enter" || event.key === " ") { event.preventDefault(); sort(); }
      });
    });
    // The served overview filters by its own form, on the server, over every page.
    if (table.classList.contains("overview") && document.querySelector("form.filter")) return;
    var filter = document.createElement("input");
    filter.type = "search";
    filter.className = "filter";
    filter.placeholder = table.classList.contains("overview") ? "table name" : "column name";
    filter.setAttribute("aria-label", "rows whose " + filter.placeholder + " holds");
    filter.addEventListener("input", function () {
      var wanted = filter.value.trim().toLowerCase();
      each(body.rows, function (row) {
        row.hidden = row.cells[0].textContent.toLowerCase().indexOf(wanted) < 0;
      });
    });
    var holder = table.parentNode;
    holder.parentNode.insertBefore(filter, holder);
  });
})();

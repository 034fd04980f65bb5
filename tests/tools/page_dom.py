# Reads a history page's DOM as Chromium dumped it and prints what a person
# sees on it, one fact a line:
#   lane NAME EVENTS SPANS     the spans drawn (merged ones count as many)
#   states NAME S1,S2,...      the states of its spans, left to right
#   row NAME EVENTS MARKS      the marks drawn (a mark of N events counts N)
#   now NAME STATE             the state a lane ends in, beside it
#   legend K1,K2,...           what the legend names, sorted
#   drawn K1,K2,...            the states and kinds of mark drawn, sorted
#   title TEXT                 the document's title
#   foreign N                  elements the page never makes itself (<i>, an
#                              onload or onerror attribute): history text
#                              that became markup
#   events N, lanes N, tablerows N, inrange N, ready-ms N, render-ms N
# and every tooltip text, unescaped, to the file given as second argument.
import html.parser
import sys


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.rows, self.row, self.facts, self.tips, self.intable = {}, None, {}, [], False
        self.legend, self.drawn, self.nows, self.intitle, self.title = set(), set(), [], False, ""
        self.foreign = 0

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
        if tag == "i" or "onload" in a or "onerror" in a:
            self.foreign += 1
        if tag == "body":
            self.facts["ready-ms"], self.facts["render-ms"] = a.get("data-ready-ms"), a.get("data-render-ms")
        elif tag == "p" and a.get("id") == "summary":
            self.facts["events"], self.facts["lanes"] = a.get("data-events"), a.get("data-lanes")
        elif tag == "p" and a.get("id") == "count":
            self.facts["inrange"] = a.get("data-in-range")
        elif tag == "tbody":
            self.intable, self.facts["tablerows"] = True, 0
        elif tag == "tr" and self.intable:
            self.facts["tablerows"] += 1
        elif tag == "g" and "data-name" in a:
            self.row = {"lane": "lane" in a["class"].split(), "events": a["data-events"], "drawn": 0, "states": []}
            self.rows[a["data-name"]] = self.row
        elif tag == "rect" and self.row is not None and a.get("class") in ("span", "mark"):
            self.row["drawn"] += int(a["data-count"])
            if a["class"] == "span":
                self.row["states"].append(a["data-state"])
            self.drawn.add(a.get("data-state") or a.get("data-kind"))
            self.tips.append(a.get("data-tip", ""))
        elif tag == "text" and self.row is not None and "data-now" in a:
            self.nows.append((self.rows_name(), a["data-now"]))
            self.drawn.add(a["data-now"])
        elif tag == "span" and "data-legend" in a:
            self.legend.add(a["data-legend"])
        elif tag == "title":
            self.intitle = True

    def rows_name(self):
        return next(name for name, r in self.rows.items() if r is self.row)

    def handle_data(self, data):
        if self.intitle:
            self.title += data

    def handle_endtag(self, tag):
        if tag == "title":
            self.intitle = False
        elif tag == "g":
            self.row = None
        elif tag == "tbody":
            self.intable = False


page = Page()
page.feed(open(sys.argv[1], encoding="utf-8").read())
for name, r in page.rows.items():
    print(("lane" if r["lane"] else "row"), name, r["events"], r["drawn"])
    if r["lane"]:
        print("states", name, ",".join(r["states"]))
for name, state in page.nows:
    print("now", name, state)
print("legend", ",".join(sorted(page.legend)))
print("drawn", ",".join(sorted(page.drawn)))
print("title", page.title)
print("foreign", page.foreign)
for key, value in page.facts.items():
    print(key, value)
with open(sys.argv[2], "w", encoding="utf-8") as tips:
    tips.write("\n".join(page.tips) + "\n")

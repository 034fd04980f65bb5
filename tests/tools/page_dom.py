# Reads a history page's DOM as Chromium dumped it and prints what a person
# sees on it, one fact a line:
#   lane NAME EVENTS SPANS     the spans drawn (merged ones count as many)
#   states NAME S1,S2,...      the states of its spans, left to right
#   row NAME EVENTS MARKS      the marks drawn (a mark of N events counts N)
#   events N, lanes N, tablerows N, inrange N, ready-ms N, render-ms N
# and every tooltip text, unescaped, to the file given as second argument.
import html.parser
import sys


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.rows, self.row, self.facts, self.tips, self.intable = {}, None, {}, [], False

    def handle_starttag(self, tag, attrs):
        a = dict(attrs)
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
            self.tips.append(a.get("data-tip", ""))

    def handle_endtag(self, tag):
        if tag == "g":
            self.row = None
        elif tag == "tbody":
            self.intable = False


page = Page()
page.feed(open(sys.argv[1], encoding="utf-8").read())
for name, r in page.rows.items():
    print(("lane" if r["lane"] else "row"), name, r["events"], r["drawn"])
    if r["lane"]:
        print("states", name, ",".join(r["states"]))
for key, value in page.facts.items():
    print(key, value)
with open(sys.argv[2], "w", encoding="utf-8") as tips:
    tips.write("\n".join(page.tips) + "\n")

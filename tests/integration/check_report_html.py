#!/usr/bin/env python3
"""Checks a page written by `vserverctl report --html` strictly: it parses as HTML with every
element closed in order, runs nothing and fetches nothing, and holds one titled SVG chart per
figure. Prints one line per problem, and the number of charts; exits 1 on a problem."""
import sys
from html.parser import HTMLParser

VOID = {"meta", "br", "hr", "img", "input", "link", "col", "area", "base", "wbr", "source", "track"}
# SVG elements written without a closing tag.
SELF_CLOSING = {"line", "path", "circle", "rect"}
FORBIDDEN = {"script", "iframe", "object", "embed", "link", "img", "base", "form", "image", "use", "foreignobject"}


class Strict(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.stack = []
        self.problems = []
        self.charts = 0
        self.titled = 0
        self.figures = 0

    def handle_starttag(self, tag, attrs):
        if tag in FORBIDDEN:
            self.problems.append("forbidden element <%s>" % tag)
        for name, value in attrs:
            if name.startswith("on") or name in ("src", "href", "xlink:href", "action"):
                self.problems.append("attribute %s on <%s>" % (name, tag))
            if value and ("url(" in value or "javascript:" in value):
                self.problems.append("reference in %s of <%s>" % (name, tag))
        if tag == "svg":
            self.charts += 1
        if tag == "figure":
            self.figures += 1
        if tag == "title" and self.stack and self.stack[-1] == "svg":
            self.titled += 1
        if tag not in VOID:
            self.stack.append(tag)

    def handle_startendtag(self, tag, attrs):
        self.handle_starttag(tag, attrs)
        if tag not in VOID:
            self.stack.pop()

    def handle_endtag(self, tag):
        if tag in VOID:
            return
        if not self.stack or self.stack[-1] != tag:
            self.problems.append("</%s> closes <%s>" % (tag, self.stack[-1] if self.stack else "nothing"))
            return
        self.stack.pop()

    def handle_data(self, data):
        if self.stack and self.stack[-1] == "style" and ("@import" in data or "url(" in data):
            self.problems.append("the style fetches something")


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    page = Strict()
    page.feed(text)
    page.close()
    if page.stack:
        page.problems.append("left open: " + " ".join(page.stack))
    if not text.startswith("<!DOCTYPE html>"):
        page.problems.append("no doctype")
    if page.titled != page.charts or page.figures != page.charts:
        page.problems.append("%d charts, %d titled, %d figures" % (page.charts, page.titled, page.figures))
    for problem in page.problems:
        print(problem)
    print("charts %d" % page.charts)
    sys.exit(1 if page.problems else 0)


if __name__ == "__main__":
    main()

#include "platform/render/UserAgentStyle.h"

namespace tov {

const char kUserAgentStyle[] = R"css(
html, body, address, article, aside, blockquote, center, dd, details, dialog, dir, div,
dl, dt, fieldset, figcaption, figure, footer, form, h1, h2, h3, h4, h5, h6, header,
hgroup, hr, legend, main, menu, nav, ol, p, pre, section, summary, ul, frameset, frame,
noframes, listing, plaintext, xmp, optgroup {
  display: block;
}
head, script, style, title, meta, link, base, template, noscript, iframe, object,
embed, param, applet, area, map, datalist, audio, video, canvas, [hidden],
input[type="hidden"] {
  display: none;
}

body { margin: 8px; }
p, dl, ol, ul, menu, dir, blockquote, figure, fieldset, pre, listing, xmp, plaintext {
  margin-top: 1em; margin-bottom: 1em;
}
blockquote, figure { margin-left: 40px; margin-right: 40px; }
dd { margin-left: 40px; }
center { text-align: center; }
address, cite, dfn, em, i, var { font-style: italic; }
b, strong, th, h1, h2, h3, h4, h5, h6 { font-weight: bold; }

h1 { font-size: 2em; margin-top: .67em; margin-bottom: .67em; }
h2 { font-size: 1.5em; margin-top: .83em; margin-bottom: .83em; }
h3 { font-size: 1.17em; margin-top: 1em; margin-bottom: 1em; }
h4 { margin-top: 1.33em; margin-bottom: 1.33em; }
h5 { font-size: .83em; margin-top: 1.67em; margin-bottom: 1.67em; }
h6 { font-size: .67em; margin-top: 2.33em; margin-bottom: 2.33em; }

pre, listing, xmp, plaintext { font-family: monospace; white-space: pre; }
code, kbd, samp, tt { font-family: monospace; }
big { font-size: 1.17em; }
small, sub, sup { font-size: .83em; }
sub { vertical-align: sub; }
sup { vertical-align: super; }
s, strike, del { text-decoration: line-through; }
u, ins { text-decoration: underline; }
a[href] { color: #0000ee; text-decoration: underline; }
mark { background-color: #ffff00; }
nobr { white-space: nowrap; }

ol, ul, menu, dir { padding-left: 40px; }
li { display: list-item; }
ol { list-style-type: decimal; }
ul, menu, dir { list-style-type: disc; }
ul ul, ol ul, menu ul, ul menu { list-style-type: circle; }
ul ul ul, ol ul ul, ul ol ul, ol ol ul { list-style-type: square; }
ol ol, ol ul, ul ol, ul ul { margin-top: 0; margin-bottom: 0; }

table { display: table; border-collapse: separate; border-spacing: 2px; text-indent: 0; }
caption { display: table-caption; text-align: center; }
thead { display: table-header-group; vertical-align: middle; }
tbody { display: table-row-group; vertical-align: middle; }
tfoot { display: table-footer-group; vertical-align: middle; }
colgroup { display: table-column-group; }
col { display: table-column; }
tr { display: table-row; vertical-align: inherit; }
td, th { display: table-cell; vertical-align: inherit; padding: 1px; }
th { text-align: center; }
table[border] { border: 1px outset #808080; }
table[border] td, table[border] th { border: 1px inset #808080; }
table[border="0"], table[border="0"] td, table[border="0"] th { border-style: none; }

hr { border: 1px inset #a0a0a0; margin-top: .5em; margin-bottom: .5em; }
fieldset { border: 2px groove #c0c0c0; padding: .35em .75em .6em; margin-left: 2px; margin-right: 2px; }
img { display: inline-block; }
input, button, select, textarea {
  display: inline-block; font-family: sans-serif; font-size: 13px;
  border: 2px inset #c0c0c0; background-color: #ffffff; padding: 1px;
}
input { width: 150px; height: 16px; }
button, input[type="submit"], input[type="button"], input[type="reset"] {
  border-style: outset; background-color: #e0e0e0;
}
input[type="checkbox"], input[type="radio"] { width: 11px; height: 11px; }
textarea { width: 250px; height: 48px; }
select { height: 18px; }
)css";

}  // namespace tov

// Prints each page's text as pdf.js gives it, without its CMaps or standard fonts.
import { getDocument } from "pdfjs-dist/legacy/build/pdf.mjs";
import { readFileSync } from "node:fs";
const data = new Uint8Array(readFileSync(process.argv[2]));
const doc = await getDocument({ data, useSystemFonts: false, disableFontFace: true, verbosity: 0 }).promise;
for (let i = 1; i <= doc.numPages; ++i) {
  const content = await (await doc.getPage(i)).getTextContent();
  process.stdout.write(content.items.map((item) => item.str + (item.hasEOL ? "\n" : "")).join("") + "\n");
}

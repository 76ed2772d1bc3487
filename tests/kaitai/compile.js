// SPDX-License-Identifier: MIT
// Compiles a Kaitai Struct description with the compiler pinned in
// package.json, which has no command line of its own:
//
//   node tests/kaitai/compile.js -t TARGET [-d OUT_DIR] FILE.ksy
//
// TARGET is any of the compiler's (python, javascript, java, cpp_stl, go,
// ruby, ...); the files it makes are written into OUT_DIR, by default the
// working directory, and named on standard output.
'use strict';
const fs = require('fs');
const path = require('path');
const yaml = require('js-yaml');
const compiler = new (require('kaitai-struct-compiler'))();

const args = process.argv.slice(2);
let target = null;
let out = '.';
let ksy = null;
for (let i = 0; i < args.length; ++i) {
  if (args[i] === '-t') target = args[++i];
  else if (args[i] === '-d') out = args[++i];
  else ksy = args[i];
}
if (!target || !ksy) {
  console.error('usage: node compile.js -t TARGET [-d OUT_DIR] FILE.ksy');
  process.exit(2);
}
compiler.compile(target, yaml.load(fs.readFileSync(ksy, 'utf8')), null, false).then(
  (files) => {
    fs.mkdirSync(out, { recursive: true });
    for (const [name, text] of Object.entries(files)) {
      fs.writeFileSync(path.join(out, name), text);
      console.log(path.join(out, name));
    }
  },
  (error) => {
    console.error(String(error));
    process.exit(1);
  },
);

// SPDX-License-Identifier: MIT
// Compiles doc/kvf.ksy with the Kaitai Struct compiler and checks that the
// parser it makes and kvf_unpack read the same containers alike: the example,
// and random ones from kvf_gen that the tool walks to ADMINEND with status 0.
// For each: every frame the tool logs (offset, type, parameters, display
// text, dummy), the trailer's words, and each image's bytes against the flash
// data of its run as the parser reads it.
//
//   node agree.js KVF_UNPACK KVF_GEN KSY EXAMPLE COUNT
'use strict';
const fs = require('fs');
const os = require('os');
const path = require('path');
const { spawnSync } = require('child_process');
const yaml = require('js-yaml');
const compiler = new (require('kaitai-struct-compiler'))();
const KaitaiStream = require('kaitai-struct/KaitaiStream');

const [tool, generator, ksy, example, given] = process.argv.slice(2).map((arg, i) => (i < 4 ? path.resolve(arg) : arg));
// KVF_RANDOM_CONTAINERS asks for more (CI) or fewer random containers than the command line.
const count = process.env.KVF_RANDOM_CONTAINERS || given;
const work = fs.mkdtempSync(path.join(os.tmpdir(), 'kvf_kaitai_'));

// Text in the log as bytes, one character for each byte.
const bytes = (data) => Buffer.from(data).toString('latin1');
const hex8 = (value) => (value >>> 0).toString(16).toUpperCase().padStart(8, '0');
const tag = (index) => '0x' + hex8(index * 56) + '   : ';

// The log that the frames the parser read must give, as a list of lines;
// a run's first line stands as a pattern, its image name taken from the log.
function expected(kvf) {
  const T = kvf.constructor.FrameType;
  const lines = [];
  let next = null; // where the open run continues
  kvf.frames.forEach((frame, i) => {
    const params = '(' + hex8(frame.param1) + ', ' + hex8(frame.param2) + ')';
    switch (frame.type) {
      case T.ERASE_FLASH:
        lines.push(tag(i) + 'Erase Flash ' + params);
        break;
      case T.DISPLAY_TEXT:
        lines.push(tag(i) + 'Display text ' + params + ": '" + bytes(frame.payload.textBytes) + "'");
        break;
      case T.DUMMY:
        if (!frame.payload.isAllFill) throw new Error('a dummy frame not all fill, at frame ' + i);
        lines.push(tag(i) + 'Dummy frame found (payload is all 0xFF)');
        break;
      case T.PROGRESS:
        lines.push(tag(i) + 'Update progress-bar to ' + frame.percent + ' %');
        break;
      case T.FLASH_DATA:
        if (next !== frame.address) {
          if (next !== null) lines.push(tag(i) + 'End of current Flash data found, closing flashfile');
          lines.push({ run: i, prefix: tag(i) + 'New Flashdata found, create new file for it: ' });
        }
        next = (frame.address + frame.length) >>> 0;
        break;
      case T.ADMINEND:
        lines.push(tag(i) + "'ADMINEND' keyword found");
        break;
    }
  });
  const words = kvf.trailer.words;
  for (let word = 1; word <= 5; ++word) lines.push('DWORD ' + word + ' = ' + hex8(words[word - 1]));
  lines.push('KVF file length = ' + hex8(kvf.trailer.fileLength));
  lines.push('KVF checksum (CRC-32) = ' + hex8(kvf.trailer.checksum));
  return lines;
}

// The data of the run that starts at frame `first`, as the parser read it.
function runData(kvf, first) {
  const T = kvf.constructor.FrameType;
  const pieces = [];
  let next = kvf.frames[first].param2;
  for (const frame of kvf.frames.slice(first)) {
    if (frame.type !== T.FLASH_DATA) continue;
    if (frame.param2 !== next) break;
    pieces.push(Buffer.from(frame.payload.data));
    next = (frame.param2 + frame.param1) >>> 0;
  }
  return Buffer.concat(pieces);
}

// Compares one container; returns its failures, or null when the tool did not walk it to its end.
function compare(Kvf, container, name) {
  const folder = path.join(work, name);
  fs.mkdirSync(folder);
  const run = spawnSync(tool, [container], { cwd: folder });
  const log = run.stdout.toString('latin1');
  if (run.status !== 0 || !log.includes("'ADMINEND' keyword found")) return null;
  const kvf = new Kvf(new KaitaiStream(fs.readFileSync(container)));
  const failures = [];
  const images = new Map(); // name -> the bytes of the last run of that name
  // Walked line by line through the log: a display text may hold line breaks.
  let at = 0;
  for (const line of expected(kvf)) {
    const end = log.indexOf('\n', at);
    if (typeof line === 'string') {
      if (!log.startsWith(line + '\n', at)) {
        failures.push('at byte ' + at + ': parser ' + JSON.stringify(line) + ', tool ' + JSON.stringify(log.slice(at, end)));
        break;
      }
      at += line.length + 1;
    } else {
      // An image name holds no line break: control bytes become '_'.
      if (!log.startsWith(line.prefix, at) || end < 0) {
        failures.push('at byte ' + at + ': parser starts a run, tool ' + JSON.stringify(log.slice(at, end)));
        break;
      }
      images.set(log.slice(at + line.prefix.length, end), runData(kvf, line.run));
      at = end + 1;
    }
  }
  if (failures.length === 0 && at !== log.length) failures.push('the tool logs more: ' + JSON.stringify(log.slice(at)));
  const files = fs.readdirSync(folder, { encoding: 'latin1' }).sort();
  const names = [...images.keys()].sort();
  if (JSON.stringify(files) !== JSON.stringify(names)) {
    failures.push('images ' + JSON.stringify(files) + ', runs ' + JSON.stringify(names));
  }
  for (const [image, data] of images) {
    const file = path.join(folder, Buffer.from(image, 'latin1').toString());
    if (fs.existsSync(file) && !fs.readFileSync(file).equals(data)) failures.push(image + ': bytes differ from its run');
  }
  return failures;
}

async function main() {
  const files = await compiler.compile('javascript', yaml.load(fs.readFileSync(ksy, 'utf8')), null, false);
  // The generated module, loaded with this script's require, which finds the runtime.
  const generated = { exports: {} };
  new Function('module', 'require', 'define', files['Kvf.js'])(generated, require, undefined);
  const Kvf = generated.exports;
  let compared = 0;
  let failed = 0;
  const containers = [[example, 'example']];
  for (let seed = 1; seed <= Number(count); ++seed) {
    const file = path.join(work, 'random' + seed + '.kvf');
    const made = spawnSync(generator, ['random', String(seed), file]);
    if (made.status !== 0) throw new Error('kvf_gen failed on seed ' + seed);
    containers.push([file, 'random' + seed]);
  }
  for (const [container, name] of containers) {
    const failures = compare(Kvf, container, name);
    if (failures === null) {
      if (name === 'example') throw new Error('the tool did not walk the example to its end');
      continue;
    }
    ++compared;
    if (failures.length > 0) {
      ++failed;
      console.log(name + ' (' + container + '):\n  ' + failures.slice(0, 10).join('\n  '));
    }
  }
  // What follows the trailer, a byte or a second ADMINEND frame, is refused
  // by both: the parser's end-of-file check and the tool's status 1.
  const whole = fs.readFileSync(example);
  const adminend = whole.subarray(whole.length - 84, whole.length - 28);
  for (const [name, extra] of [['a byte', Buffer.from([0])], ['a second ADMINEND', adminend]]) {
    const file = path.join(work, 'after-trailer.kvf');
    fs.writeFileSync(file, Buffer.concat([whole, extra]));
    let refused = false;
    try {
      new Kvf(new KaitaiStream(fs.readFileSync(file)));
    } catch (error) {
      refused = /Validation/.test(error.name || String(error));
    }
    const status = spawnSync(tool, ['-t', file]).status;
    if (!refused || status !== 1) {
      ++failed;
      console.log(name + ' after the trailer: parser ' + (refused ? 'refuses' : 'accepts') + ', tool status ' + status);
    }
  }
  console.log('Kaitai parser and kvf_unpack: ' + compared + ' containers compared, ' + failed + ' differ');
  if (failed === 0) fs.rmSync(work, { recursive: true });
  return failed === 0 && compared > Number(count) / 2;
}

main().then(
  (agreed) => process.exit(agreed ? 0 : 1),
  (error) => {
    console.error(error);
    process.exit(1);
  },
);

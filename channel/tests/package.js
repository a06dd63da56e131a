// Checks the channel's zip as a player would take it: a manifest with the
// keys a player needs whose pictures are in the zip, under the player's
// size limit for a side-loaded channel, every script that a component
// names present, and every node type that the code creates either one of
// the player's own or a component of the zip.
//   node channel/tests/package.js build/velmora-roku.zip
'use strict';
const { execFileSync } = require('child_process');

const SIZE_LIMIT = 4 * 1024 * 1024;
const MANIFEST_KEYS = ['title', 'major_version', 'minor_version', 'build_version', 'mm_icon_focus_hd', 'splash_screen_hd'];
const PLAYER_NODES = new Set(['Scene', 'Task', 'Group', 'Rectangle', 'Label', 'Poster', 'PosterGrid', 'Video', 'Audio',
    'Timer', 'ContentNode', 'Dialog', 'PinDialog', 'KeyboardDialog']);

const zip = process.argv[2];
const problems = [];
const names = execFileSync('unzip', ['-Z1', zip], { encoding: 'utf8' }).trim().split('\n');
const has = new Set(names);
const read = (name) => execFileSync('unzip', ['-p', zip, name], { encoding: 'utf8' });

if (require('fs').statSync(zip).size >= SIZE_LIMIT) problems.push('the zip is over 4 MB');
if (!has.has('manifest')) problems.push('no manifest');
const manifest = {};
for (const line of (has.has('manifest') ? read('manifest') : '').split('\n')) {
    const eq = line.indexOf('=');
    if (eq > 0) manifest[line.slice(0, eq)] = line.slice(eq + 1).trim();
}
for (const key of MANIFEST_KEYS) if (!manifest[key]) problems.push('manifest without ' + key);
for (const v of ['major_version', 'minor_version', 'build_version']) if (!/^\d+$/.test(manifest[v] || '')) problems.push(v + ' is no number');

// Components of the zip, and what every file names.
const components = new Set();
const sources = names.filter((n) => /\.(xml|brs)$/.test(n));
for (const n of sources.filter((s) => s.endsWith('.xml'))) {
    const m = /<component\s+name="([^"]+)"\s+extends="([^"]+)"/.exec(read(n));
    if (!m) problems.push(n + ' declares no component');
    else components.add(m[1]);
}
const known = (type) => PLAYER_NODES.has(type) || components.has(type);
for (const n of sources) {
    const text = read(n);
    const dir = n.slice(0, n.lastIndexOf('/') + 1);
    for (const m of text.matchAll(/pkg:\/([\w./-]+)/g)) if (!has.has(m[1])) problems.push(n + ' names pkg:/' + m[1] + ', not in the zip');
    for (const m of text.matchAll(/<script[^>]*uri="(?!pkg:)([^"]+)"/g)) if (!has.has(dir + m[1])) problems.push(n + ' names script ' + m[1]);
    const types = [...text.matchAll(/(?:CreateObject\("roSGNode", |createChild\(|CreateScene\()"(\w+)"/gi)].map((m) => m[1]);
    const children = /<children>([\s\S]*)<\/children>/.exec(text);
    if (children) types.push(...[...children[1].matchAll(/<(\w+)[\s/>]/g)].map((m) => m[1]));
    const base = /extends="(\w+)"/.exec(text);
    if (base) types.push(base[1]);
    for (const t of types) if (!known(t)) problems.push(n + ' uses the node type ' + t + ', which is nowhere');
}
for (const key of ['mm_icon_focus_hd', 'mm_icon_focus_sd', 'splash_screen_hd']) {
    const pic = (manifest[key] || '').replace('pkg:/', '');
    if (pic && !has.has(pic)) problems.push('manifest picture ' + pic + ' not in the zip');
}
if (problems.length) {
    console.error(problems.join('\n'));
    process.exit(1);
}
console.log(`package ok: ${names.length} files, components ${[...components].join(', ')}`);

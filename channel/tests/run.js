// The channel's tests without a player.  Starts the real Velmora on
// fixture folders and libraries, proves the cookies that the channel's own
// BrightScript makes against it, records its answers, then runs the
// channel's logic under the BrightScript interpreter with those answers.
// Run inside a network namespace of its own (tools/netns.sh): Start turns
// discovery on.
//   node channel/tests/run.js PATH/TO/velmora
'use strict';
const fs = require('fs');
const net = require('net');
const os = require('os');
const path = require('path');
const { execFileSync, spawn } = require('child_process');

const channel = path.resolve(__dirname, '..');
const source = path.resolve(channel, '..');
const brs = path.join(channel, 'node_modules', '.bin', 'brs');
const velmora = path.resolve(process.argv[2] || path.join(source, 'build/release/velmora'));
const ANSWER_MS = 30000;

function fail(msg) { console.error('channel tests: ' + msg); process.exit(1); }
const sleep = (ms) => new Promise((r) => setTimeout(r, ms));
async function until(check, seconds) {
    for (let i = 0; i < seconds * 10; i++, await sleep(100)) if (check()) return true;
    return check();
}

// The fixture: folders behind titles (one private), a music and a photo library.
function makeHome() {
    const home = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-channel-'));
    const d = (...p) => path.join(home, ...p);
    const data = (...p) => path.join(source, 'tests/data', ...p);
    for (const f of ['Movies/Extras', 'Music/Band', 'Kids', 'iTunes', 'Photos', 'My Roku']) fs.mkdirSync(d(f), { recursive: true });
    fs.copyFileSync(data('video/faststart.mp4'), d('Movies/Holiday.mp4'));
    fs.copyFileSync(data('jpeg/plain.jpg'), d('Movies/Holiday.jpg'));
    fs.writeFileSync(d('Movies/Holiday.srt'), '1\n00:00:01,000 --> 00:00:02,000\nHello\n');
    fs.copyFileSync(data('av/clip.avi'), d('Movies/Old Film.avi'));
    fs.copyFileSync(data('video/clip.m4v'), d('Kids/Cartoon.m4v'));
    fs.copyFileSync(data('mp3/v23_mpeg1.mp3'), d('Music/Band/01 First.mp3'));
    fs.copyFileSync(data('mp3/v1_mpeg2.mp3'), d('Music/Band/02 Second.mp3'));
    fs.copyFileSync(data('jpeg/plain.jpg'), d('Music/Band/Folder.jpg'));
    fs.copyFileSync(data('iphoto/library.xml'), d('Photos/AlbumData.xml'));
    const song = (id, name, file) => `\t\t<key>${id}</key>\n\t\t<dict>\n\t\t\t<key>Track ID</key><integer>${id}</integer>\n` +
        `\t\t\t<key>Name</key><string>${name}</string>\n\t\t\t<key>Artist</key><string>The Band</string>\n` +
        `\t\t\t<key>Album</key><string>Debut</string>\n\t\t\t<key>Location</key><string>file://localhost` +
        d('Music/Band', file).replace(/ /g, '%20') + '</string>\n\t\t</dict>\n';
    const list = (name, ids) => `\t\t<dict>\n\t\t\t<key>Name</key><string>${name}</string>\n\t\t\t<key>Playlist Items</key>\n\t\t\t<array>\n` +
        ids.map((i) => `\t\t\t\t<dict>\n\t\t\t\t\t<key>Track ID</key><integer>${i}</integer>\n\t\t\t\t</dict>\n`).join('') + '\t\t\t</array>\n\t\t</dict>\n';
    fs.writeFileSync(d('iTunes/iTunes Music Library.xml'), '<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0">\n<dict>\n' +
        '\t<key>Tracks</key>\n\t<dict>\n' + song(101, 'First', '01 First.mp3') + song(102, 'Second', '02 Second.mp3') +
        '\t</dict>\n\t<key>Playlists</key>\n\t<array>\n' + list('Road Trip', [102, 101]) + '\t</array>\n</dict>\n</plist>\n');
    fs.writeFileSync(d('My Roku/Velmora.ini'), ['[Velmora]', 'IPadrs=127.0.0.1', 'Port=0', 'Transcode=1',
        'iTunes_Path=' + d('iTunes'), 'iPhoto_Path=' + d('Photos'),
        '[SlideShow]', 'SS_period=4', 'SS_overlay=2', 'SS_shuffle=1', 'SS_random=0', 'SS_music=' + d('Music/Band/02 Second.mp3'),
        '[Links]', 'Movies=' + d('Movies'), 'Music=' + d('Music'), 'Kids=' + d('Kids'),
        '[Paths]', d('Kids') + '=2468', ''].join('\r\n'));
    // VLC runs under an account of its own: it must read the movies.
    execFileSync('chmod', ['-R', 'a+rX', home]);
    return home;
}

// Sends bytes on sock (a new connection when null) and reads one answer as
// Velmora sends it; resolves {raw, closed, sock}.
function exchange(port, sock, bytes) {
    return new Promise((resolve) => {
        const s = sock || net.connect(port, '127.0.0.1');
        let raw = Buffer.alloc(0);
        let done = false;
        const finish = (closed) => {
            if (done) return;
            done = true;
            s.removeAllListeners('data'); s.removeAllListeners('close'); s.removeAllListeners('error');
            clearTimeout(timer);
            if (closed) s.destroy();
            resolve({ raw: raw.toString('latin1'), closed, sock: closed ? null : s });
        };
        const timer = setTimeout(() => finish(true), ANSWER_MS);
        s.on('data', (chunk) => {
            raw = Buffer.concat([raw, chunk]);
            const text = raw.toString('latin1');
            const end = text.indexOf('\n\n');
            if (end < 0) return;
            const len = /\nContent-length: (\d+)/.exec(text.slice(0, end));
            if (len && raw.length >= end + 2 + Number(len[1])) finish(false);
            if (!len && /^HTTP\/1\.1/.test(text) === false) return;  // bare answers end with the close
        });
        s.on('close', () => finish(true));
        s.on('error', () => finish(true));
        s.write(bytes);
    });
}

// Cookies made by the channel's BrightScript for address: count of them,
// numbered on from the start answer start (as the server sent it) or, with
// start null, from first.
function channelCookies(address, start, first, count, dir) {
    fs.writeFileSync(path.join(dir, 'start.txt'), start || '', 'latin1');
    const main = path.join(dir, 'cookies.brs');
    fs.writeFileSync(main, `sub Main()\n    first = ${first}\n` +
        '    start = ReadAsciiFile("pkg:/start.txt")\n' +
        '    if start <> "" then first = SequenceAfterStart(StartNumber(ParseAnswer(start, true).location)) + 1\n' +
        `    for n = first to first + ${count - 1}\n        print MakeCookie("${address}", n, CookiePad())\n    end for\nend sub\n`);
    const files = ['text.brs', 'cookie.brs', 'net.brs'].map((f) => path.join(channel, 'source', f));
    const out = execFileSync(brs, ['--root', dir, ...files, main]);
    return out.toString().trim().split('\n').map((l) => l.trim());
}

function request(method, target, cookie) {
    return `${method} ${target} HTTP/1.1\r\nHost: 127.0.0.1\r\nUser-Agent: Roku/Velmora\r\n` +
        (cookie ? `Cookie: ${cookie}\r\n` : '') + '\r\n';
}

// What the channel asks for, in the tests' order.
const TARGETS = [
    'GET /Roku/', 'GET /Roku/Roku_Config.txt', 'GET /iTunes%20Tables/links.txt', 'GET /iPhoto%20Tables/Paths.txt',
    'GET /Roku/Movies/', 'GET /Roku/Kids/', 'GET /Roku/Kids/Cartoon.m4v?info', 'GET /Roku/Movies/Holiday.mp4?info', 'GET /Roku/Movies/Old%20Film.avi?info',
    'GET /Roku/Movies/Missing.mp4', 'GET /Roku/Movies/*holi*&s', 'GET /Roku/Music/*holi*&s', 'GET /Roku/Kids/*holi*&s',
    'GET /iTunes%20Tables/albums.txt', 'GET /iTunes%20Tables/playlists.txt', 'GET /iTunes%20Tables/album_art.txt',
    'GET /iTunes%20Tables/Track-101.txt', 'GET /iTunes%20Tables/Track-102.txt', 'GET /iTunes%20Tables/link0/01%20First.mp3',
    'GET /Roku/Movies/Holiday.mp4', 'GET /Roku/Recent/', 'GET /Roku/Recent/0.mp4x?info',
    'GET /iPhoto%20Tables/Events.txt', 'GET /iPhoto%20Tables/Index.txt', 'GET /iPhoto%20Tables/Photos.txt',
    'GET /Roku/Movies/Holiday.jpg', 'HEAD /Roku/Movies/Old%20Film.avi', 'HEAD /Roku/Movies/Old%20Film.avi.kill',
    // The titles again, now with the recent list.
    'GET /Roku/',
];

// The program with Start pressed, once it serves and has made table; its
// port in .port.
async function startServer(home, table) {
    const log = path.join(home, 'stdout.txt');
    fs.rmSync(log, { force: true });
    const server = spawn(velmora, ['-s'], { env: { ...process.env, HOME: home, VELMORA_REFUSE_PAUSE_MS: '10' },
        stdio: ['pipe', fs.openSync(log, 'w'), 'inherit'] });
    const ready = await until(() => {
        const m = /Server - 127\.0\.0\.1:(\d+)/.exec(fs.existsSync(log) ? fs.readFileSync(log, 'latin1') : '');
        server.port = m ? Number(m[1]) : 0;
        return server.port > 0 && fs.existsSync(path.join(home, 'My Roku', table));
    }, 120);
    if (!ready) {
        server.kill('SIGKILL');
        fail('the server did not start and import:\n' + fs.readFileSync(log, 'latin1'));
    }
    return server;
}

async function main() {
    // Start announces the server by multicast: only inside a namespace.
    if (Object.keys(os.networkInterfaces()).some((name) => name !== 'lo')) {
        fail('run me in a network namespace of my own: tools/netns.sh node channel/tests/run.js');
    }
    if (!fs.existsSync(velmora)) fail('no program at ' + velmora);
    const home = makeHome();
    const work = fs.mkdtempSync(path.join(os.tmpdir(), 'velmora-brs-'));
    // The first Start imports the music library, the next the photo library.
    let server = await startServer(home, 'iTunes Tables/albums.txt');
    server.kill('SIGTERM');
    await until(() => server.exitCode !== null || server.signalCode !== null, 60);
    server = await startServer(home, 'iPhoto Tables/Index.txt');
    const port = server.port;
    let failures = 0;
    const check = (ok, what) => { if (!ok) { failures++; console.log('not ok - ' + what); } else console.log('ok - ' + what); };
    try {
        const recorded = { home, port: port, answers: {} };
        const start = await exchange(port, null, request('GET', '/Roku/', ''));
        recorded.answers.start = start.raw;
        const r = /\nLocation: \?(\d+)\n/.exec(start.raw);
        check(r && start.closed, 'a first request without a cookie gets the start number');
        // The channel reads the start number from the answer itself.
        const cookies = channelCookies('127.0.0.1', start.raw, 0, TARGETS.length + 4, work);
        let sock = null;
        let k = 0;
        for (const t of TARGETS) {
            const [method, target] = t.split(' ');
            const a = await exchange(port, sock, request(method, target, cookies[k++]));
            sock = a.sock;
            recorded.answers[t] = a.raw.length > 200000 ? a.raw.slice(0, a.raw.indexOf('\n\n') + 2) : a.raw;
            if (!t.endsWith('.kill')) check(a.raw.length > 0, 'the server accepts the channel\'s cookie ' + k + ' for ' + t);
        }
        // The kill closed its connection without an answer.
        check(recorded.answers['HEAD /Roku/Movies/Old%20Film.avi.kill'] === '', 'the live stream\'s kill gets no answer');
        // The same number again: a listing is refused (closed, nothing sent),
        // a picture is not.
        const repeat = await exchange(port, null, request('GET', '/Roku/', cookies[k - 1]));
        check(repeat.raw === '' && repeat.closed, 'a repeated number for a listing is refused');
        const picture = await exchange(port, null, request('GET', '/Roku/Movies/Holiday.jpg', cookies[k - 1]));
        check(/^HTTP\/1\.1 200/.test(picture.raw), 'a repeated number for a picture is accepted');
        if (picture.sock) picture.sock.destroy();
        // Another address's cookie is refused; the sequence goes on after it.
        const other = channelCookies('127.0.0.9', null, 1000000 - Number(r[1]) + k + 1, 1, work)[0];
        const stranger = await exchange(port, null, request('GET', '/Roku/', other));
        check(stranger.raw === '', 'a cookie claiming another address is refused');
        const next = await exchange(port, null, request('GET', '/Roku/', cookies[k]));
        check(/^HTTP\/1\.1 200/.test(next.raw), 'the next number after refusals is accepted');
        if (next.sock) next.sock.destroy();
        if (sock) sock.destroy();
        fs.mkdirSync(path.join(work, 'tests'), { recursive: true });
        fs.writeFileSync(path.join(work, 'tests/recorded.json'), JSON.stringify(recorded));
    } finally {
        server.kill('SIGTERM');
        await until(() => server.exitCode !== null || server.signalCode !== null, 30);
    }
    // The logic under the interpreter, with the recorded answers.
    const files = fs.readdirSync(path.join(channel, 'source')).filter((f) => f !== 'main.brs').map((f) => path.join(channel, 'source', f));
    const tests = fs.readdirSync(__dirname).filter((f) => f.endsWith('.brs')).map((f) => path.join(__dirname, f));
    let text = '';
    try {
        text = execFileSync(brs, ['--root', work, '--no-color', ...files, ...tests], { encoding: 'latin1' });
    } catch (e) {
        text = (e.stdout || '') + (e.stderr || '');
        failures++;
    }
    process.stdout.write(text);
    failures += (text.match(/^not ok/gm) || []).length;
    if (!/^all \d+ checks ran$/m.test(text)) { failures++; console.log('not ok - the BrightScript tests did not run to their end'); }
    if (!process.env.KEEP) fs.rmSync(work, { recursive: true, force: true });
    if (failures) fail(failures + ' failed');
    fs.rmSync(home, { recursive: true, force: true });
    console.log('channel tests passed');
}
main().catch((e) => fail(e.stack));

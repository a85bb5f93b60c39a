// Picks one of the fonts installed on this computer and draws typed text
// with it, through the KavriDaemon server's client module.
const $ = (id) => document.getElementById(id);
let fonts = null;     // the client module, imported on the first click
let listening = false;
let faces = [];
let drawn = 0;        // the face drawn last, so a late load does not win

function say(text) {
  $('status').textContent = text;
}

function draw(family) {
  const context = $('preview').getContext('2d');
  context.clearRect(0, 0, $('preview').width, $('preview').height);
  context.font = `64px ${family}`;
  context.fillText($('text').value, 16, 100);
}

async function pick() {
  const face = faces[Number($('face').value)];
  if (!face) return;
  const turn = ++drawn;
  say(`Loading ${face.fullName}…`);
  const font = new FontFace(`picked-${turn}`, await (await face.blob()).arrayBuffer());
  document.fonts.add(await font.load());
  if (turn !== drawn) return;
  draw(`picked-${turn}`);
  say(`${face.fullName} (${face.file})`);
}

// The list now, and again at each change.
function listen() {
  if (!listening) fonts.onFontsChanged(show);
  listening = true;
}

function show(list) {
  faces = list.filter((f) => f.usable);
  $('face').replaceChildren(...faces.map((f, k) => new Option(f.fullName, String(k))));
  $('face').disabled = faces.length === 0;
  say(`${faces.length} faces on this computer.`);
  pick();
}

// Importing the module reaches this computer's own addresses, which the
// browser may ask the user about: it is done on the click, where the
// question makes sense.
$('connect').addEventListener('click', async () => {
  fonts = fonts || await import('../../companion/client/kavri-fonts.js');
  try {
    await fonts.queryLocalFonts({postscriptNames: []});  // allowed, and a server answers
    listen();
  } catch (e) {
    if (e.name === 'NotAllowedError') {
      $('allow').hidden = false;
      say('This site is not allowed to use your fonts yet.');
    } else if (e.name === 'NotFoundError') {
      say('No font server answers on this computer.');
    } else {
      throw e;
    }
  }
});

// The consent window needs a click of its own.
$('allow').addEventListener('click', async () => {
  if (!await fonts.requestFontAccess()) return say('Not allowed.');
  $('allow').hidden = true;
  listen();
});

$('face').addEventListener('change', pick);
$('text').addEventListener('input', () => drawn && draw(`picked-${drawn}`));

// The sites allowed to use this account's fonts, each with a button that
// stops it at once, and a word when web apps cannot find this server.
const section = document.getElementById('sites');
const list = document.getElementById('allowed-sites');
const note = document.getElementById('sites-note');

async function show() {
  let state;
  try {
    const response = await fetch('/sites', {cache: 'no-store'});
    if (!response.ok) return;
    state = await response.json();
  } catch (e) {
    return;
  }
  const notes = [];
  if (!state.findable) {
    // Other accounts hold the whole range, or KAVRI_PORT set this port.
    notes.push(`Web apps cannot find this server: they look on ports 47823 to 47830, and it ` +
        `listens on ${location.port}.`);
  }
  if (state.fault) notes.push(`No site is allowed: ${state.fault}.`);
  else if (state.sites.length === 0) notes.push('No site is allowed yet: a web app asks you first.');
  note.textContent = notes.join(' ');
  list.replaceChildren(...state.sites.map((origin) => {
    const item = document.createElement('li');
    item.dataset.origin = origin;
    const name = document.createElement('span');
    name.textContent = origin;
    const remove = document.createElement('button');
    remove.type = 'button';
    remove.textContent = 'Remove';
    remove.setAttribute('aria-label', `Remove ${origin}`);
    remove.addEventListener('click', async () => {
      remove.disabled = true;
      await fetch('/sites/remove', {method: 'POST', headers: {'Content-Type': 'application/json'},
        body: JSON.stringify({origin})}).catch(() => {});
      show();
    });
    item.append(name, ' ', remove);
    return item;
  }));
  section.hidden = state.sites.length === 0 && notes.length === 0;
  section.dataset.loaded = 'true';
}

// A site allowed in another window shows once this one is looked at again.
addEventListener('focus', show);
document.addEventListener('visibilitychange', () => { if (!document.hidden) show(); });
show();

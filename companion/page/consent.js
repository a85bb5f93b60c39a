// The consent page: sends the user's answer to the server with the token
// only this page holds, then tells the site's window, and no other, what it
// was.
const data = document.body.dataset;
const result = document.getElementById('result');
const buttons = ['allow', 'deny'].map((id) => document.getElementById(id)).filter(Boolean);

function tellSite(allowed) {
  // Aimed at the exact origin the server named: another page in that window
  // by now hears nothing.
  if (window.opener && data.origin) {
    window.opener.postMessage({type: 'kavri-font-access', allowed}, data.origin);
  }
}

async function answer(allow) {
  for (const b of buttons) b.disabled = true;
  let allowed = false;
  try {
    const response = await fetch('/consent/answer', {
      method: 'POST',
      headers: {'Content-Type': 'application/json'},
      body: JSON.stringify({id: data.id, token: data.token, allow}),
    });
    const reply = response.headers.get('Content-Type') === 'application/json'
        ? await response.json() : {};
    allowed = reply.allowed === true;
    if (allow && !allowed) {
      result.textContent = reply.error === 'not-allowable'
          ? 'This site cannot be allowed: only https:// sites and sites on this computer can.'
          : 'The answer could not be kept; ask again from the site.';
    } else {
      result.textContent = allowed ? `${data.origin} may now use your fonts. ` +
          'You can remove it from the list of allowed sites on the fonts page.'
          : `${data.origin} was not allowed.`;
    }
  } catch (e) {
    result.textContent = 'The fonts server did not answer.';
  }
  document.body.dataset.answered = allowed ? 'allowed' : 'refused';
  tellSite(allowed);
  if (window.opener) setTimeout(() => window.close(), 1500);
}

// The site opened this window and chose when: it may have opened it under
// the pointer between the two clicks of a double click. The buttons come
// disabled and take an answer only once the page has been up a moment.
const kArmMs = 600;

document.getElementById('allow')?.addEventListener('click', () => answer(true));
document.getElementById('deny')?.addEventListener('click', () => answer(false));
setTimeout(() => {
  for (const b of buttons) b.disabled = false;
  document.body.dataset.ready = 'true';
}, kArmMs);
